// A folder's ".finfo", and the cabinet's text files read with it (the type
// table, the configuration): the bytes are the file. A description set reads
// back as set, the other names keep theirs, and a removed one is gone.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/support/cabinet_fuzz_root.h"
#include "common/cabinet/entries/dc_finfo.h"
#include "common/cabinet/entries/dc_types.h"
#include "common/cabinet/paths/dc_config.h"
#include "common/cabinet/text/dc_text.h"

namespace {

using fuzz_support::TheCabinetRoot;

void Check(bool ok, const char* what) {
  fuzz_support::Check(ok, "finfo_fuzz", what);
}

// The names of the description lines of a text, first ones first.
std::vector<std::string> Names(std::string_view text) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    std::size_t tab = line.find('\t');
    if (tab != std::string_view::npos && tab > 0 && tab <= 255) {
      names.emplace_back(line.substr(0, tab));
    }
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& root = TheCabinetRoot();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  root.Put("home/alice/dc/.finfo", text);
  const std::string path = root.Path("home/alice/dc/.finfo");

  std::vector<std::string> names = Names(text);
  if (names.size() > 50) names.resize(50);
  std::vector<std::optional<std::string>> before = DC_DescRead(path, names);
  for (const auto& v : before) Check(!v || v->size() <= kDcDescMax, "a value past 63 bytes");

  Check(DC_DescSet(path, "fuzz.txt", "shown\tkey:value") == 0, "set");
  std::vector<std::string> asked = names;
  asked.push_back("fuzz.txt");
  std::vector<std::optional<std::string>> after = DC_DescRead(path, asked);
  Check(after.back() && *after.back() == "shown\tkey:value", "the value set");
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "fuzz.txt" || names[i].find_first_of("\r\n") != std::string::npos) continue;
    Check(after[i] == before[i], "another name's value changed");
  }
  Check(DC_DescRemove(path, "fuzz.txt") == 0, "remove");
  Check(!DC_DescRead(path, {"fuzz.txt"})[0], "a removed value stays");

  std::vector<DC_Type> types;
  DC_TypeParse(text, types);
  Check(types.size() <= 28, "too many types");
  for (const DC_Type& t : types) Check(t.patterns.size() <= 30, "too many patterns");
  DC_Config config = DC_ConfigParse(text);
  Check(config.user_dc.size() <= 255 && config.quota_file.size() <= 255, "a long value");
  DC_Config back;
  Check(DC_ConfigFromImage(DC_ConfigImage(config), back) && back.user_dc == config.user_dc &&
            back.quota_file == config.quota_file,
        "the configuration's image");
  DC_SafeName(text);
  return 0;
}
