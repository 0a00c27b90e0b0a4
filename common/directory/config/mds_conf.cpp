#include "common/directory/config/mds_conf.h"

#include <cstdlib>
#include <cstring>

#include "host/base/strings.h"
#include "host/files/root.h"

std::string MdsNormaliseList(std::string_view list) {
  std::string out(list);
  for (char& c : out) {
    if (c == ',') c = ':';
  }
  if (!out.empty() && out.back() != ':') out += ':';
  return out;
}

namespace {

enum class Key {
  kPreloadAsIs,
  kPreload,
  kOwfunc,
  kLogfile,
  kDefaultGroup,
  kLangopt,
  kOption,
  kBackendConf
};

struct KeyRow {
  const char* text;
  Key key;
  unsigned bit;
};

// In the order they are tried.
constexpr KeyRow kKeys[] = {
    {"preloadlib: ", Key::kPreloadAsIs, 0},
    {"preloadlib = ", Key::kPreload, 0},
    {"owfunc = ", Key::kOwfunc, 0},
    {"logfile: ", Key::kLogfile, 0},
    {"logfile = ", Key::kLogfile, 0},
    {"defaultgroup = ", Key::kDefaultGroup, 0},
    {"langopt = ", Key::kLangopt, 0},
    {"breakingrule = ", Key::kOption, MDS_OPT_BREAKINGRULE},
    {"updateonue = ", Key::kOption, MDS_OPT_UPDATEONUE},
    {"createonucf = ", Key::kOption, MDS_OPT_CREATEONUCF},
    {"deleteonudf = ", Key::kOption, MDS_OPT_DELETEONUDF},
    {"callmdsadd = ", Key::kOption, MDS_OPT_CALLMDSADD},
    {"backendconf = ", Key::kBackendConf, 0},
};

int Decimal(std::string_view value) {
  return std::atoi(std::string(value).c_str());
}

// Stores `value` in a fixed field when it fits; else notes the key.
template <std::size_t N>
void SetField(char (&field)[N], std::string_view value, const char* key, MdsConf& conf) {
  if (value.size() >= N) {
    if (conf.too_long.empty()) conf.too_long = key;
    return;
  }
  MSTR_Copy(field, N, value);
}

void SetList(std::string& field, std::string value, std::size_t max, const char* key,
             MdsConf& conf) {
  if (value.size() > max) {
    if (conf.too_long.empty()) conf.too_long = key;
    return;
  }
  field = std::move(value);
}

void Apply(MDS_Context* ctx, const KeyRow& row, std::string_view value, MdsConf& conf) {
  switch (row.key) {
    case Key::kPreloadAsIs:
      SetList(conf.preload, std::string(value), kMdsPreloadMax, row.text, conf);
      break;
    case Key::kPreload:
      SetList(conf.preload, MdsNormaliseList(value), kMdsPreloadMax, row.text, conf);
      break;
    case Key::kOwfunc: {
      std::size_t colon = value.find(':');
      if (colon == std::string_view::npos) break;
      MdsOverride entry;
      entry.libraries = MdsNormaliseList(value.substr(0, colon));
      entry.operations = MdsNormaliseList(value.substr(colon + 1));
      if (entry.libraries.size() > kMdsLibraryListMax ||
          entry.operations.size() > kMdsOperationListMax) {
        if (conf.too_long.empty()) conf.too_long = row.text;
        break;
      }
      conf.overrides.push_back(std::move(entry));
      break;
    }
    case Key::kLogfile:
      SetField(ctx->logfile, value, row.text, conf);
      break;
    case Key::kDefaultGroup:
      SetField(ctx->defgroup, value, row.text, conf);
      break;
    case Key::kLangopt:
      ctx->langopt = Decimal(value);
      break;
    case Key::kOption:
      if (Decimal(value) != 0)
        ctx->options |= row.bit;
      else
        ctx->options &= ~row.bit;
      break;
    case Key::kBackendConf:
      if (value.empty())
        conf.backend_conf.clear();
      else
        conf.backend_conf = value.front() == '/' ? std::string(value) : host::RootPath(value);
      break;
  }
}

}  // namespace

void MDS_ReadConf(MDS_Context* ctx, std::string_view text, MdsConf& conf) {
  while (true) {
    std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos) break;  // a last line without newline does not count
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    if (line.starts_with("#")) continue;
    for (const KeyRow& row : kKeys) {
      std::size_t n = std::strlen(row.text);
      if (line.size() >= n && StartsWithNoCase(line, row.text)) {
        std::string_view value = line.substr(n);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
          value.remove_suffix(1);
        }
        Apply(ctx, row, value, conf);
        break;
      }
    }
  }
}
