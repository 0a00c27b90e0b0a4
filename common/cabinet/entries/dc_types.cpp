#include "common/cabinet/entries/dc_types.h"

#include <cstdlib>

#include "common/mime/types/content_type.h"
#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

constexpr std::size_t kMaxPatterns = 30;

struct Table {
  bool loaded = false;
  std::vector<DC_Type> types;
};

// Kept for the process; a test's new root forgets it.
Table& TheTable() {
  static Table table;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnReloadEnv([] { TheTable() = Table{}; });
  }
  return table;
}

std::string_view SkipTabs(std::string_view text) {
  std::size_t at = text.find_first_not_of('\t');
  return at == std::string_view::npos ? std::string_view() : text.substr(at);
}

}  // namespace

int DC_TypeParse(std::string_view text, std::vector<DC_Type>& types) {
  types.clear();
  std::size_t at = 0;
  while (at < text.size() && types.size() < static_cast<std::size_t>(kDcMaxTypes)) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;  // blank
    line = line.substr(first);

    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return -3;
    std::string_view rest = SkipTabs(line.substr(tab + 1));
    std::size_t tab2 = rest.find('\t');
    if (rest.empty() || tab2 == std::string_view::npos) return -3;
    std::string_view number = SkipTabs(rest.substr(tab2 + 1));
    if (number.empty()) return -3;

    DC_Type type;
    type.name = std::string(rest.substr(0, tab2));
    type.number = std::atoi(std::string(number).c_str());
    std::string_view patterns = line.substr(0, tab);
    while (!patterns.empty() && type.patterns.size() < kMaxPatterns) {
      std::size_t comma = patterns.find(',');
      std::string_view p = TrimBlanks(patterns.substr(0, comma));
      if (!p.empty()) type.patterns.emplace_back(p);
      if (comma == std::string_view::npos) break;
      patterns.remove_prefix(comma + 1);
    }
    types.push_back(std::move(type));
  }
  return types.empty() ? -1 : 0;
}

int DC_TypeLoad(const std::string& path) {
  Table& table = TheTable();
  if (table.loaded || path.empty()) return -2;
  std::string text;
  if (MFILE_Read(path, text) <= 0) return -1;
  std::vector<DC_Type> types;
  if (int r = DC_TypeParse(text, types); r != 0) return r;
  table.types = std::move(types);
  table.loaded = true;
  return 0;
}

void DC_TypeRelease() {
  TheTable() = Table{};
}

const std::vector<DC_Type>& DC_Types() {
  return TheTable().types;
}

int DC_TypeOf(const std::string& file_name, const char* data, std::size_t length) {
  const Table& table = TheTable();
  if (!table.loaded) return -1;
  std::string content;
  if (const char* t = CT_FromName(file_name.c_str())) {
    content = t;
  } else if (data && length > 0) {
    content = CT_Guess(data, length, file_name.c_str());
  }
  for (std::size_t i = 0; i < table.types.size(); ++i) {
    for (const std::string& p : table.types[i].patterns) {
      bool match = p.find('/') != std::string::npos
                       ? !content.empty() && content.starts_with(p)
                       : MSTR_fnmatch(p.c_str(), file_name.c_str(), 1) == 0;
      if (match) return static_cast<int>(i) + kDcFirstFileType;
    }
  }
  return -1;
}

std::string DC_TypeConfPath() {
  return host::RootPath("etc/dc_type.conf");
}
