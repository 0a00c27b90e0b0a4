#include "host/site.h"

#include <optional>
#include <string>

#include "host/files.h"
#include "host/key_value.h"
#include "host/process.h"
#include "host/root.h"
#include "host/strings.h"

namespace {

// Applies "Level<N>.<Field>" keys; false when the key is not one.
bool ApplyLevelKey(SiteSettings& s, std::string_view key, std::string_view value) {
  if (key.substr(0, 5) != "Level") return false;
  size_t dot = key.find('.');
  if (dot == std::string_view::npos) return false;
  long long n = SettingInt(key.substr(5, dot - 5), -1);
  if (n < 0 || n >= kLevelCount) return true;
  LevelSettings& l = s.levels[n];
  std::string_view field = key.substr(dot + 1);
  if (field == "Flags") l.flags = static_cast<int>(SettingInt(value, l.flags));
  else if (field == "Privileges") l.privileges = static_cast<std::uint32_t>(SettingInt(value, l.privileges));
  else if (field == "AttachSizeKB") l.attach_size_kb = SettingInt(value, l.attach_size_kb);
  else if (field == "CabinetQuotaKB") l.cabinet_quota_kb = SettingInt(value, l.cabinet_quota_kb);
  return true;
}

SiteSettings Load() {
  SiteSettings s;
  std::string text;
  if (MFILE_Read(host::RootPath("etc/site.conf"), text) <= 0) return s;
  ForEachKeyValue(text, [&s](std::string_view key, std::string_view value) {
    if (ApplyLevelKey(s, key, value)) return;
    if (key == "MultiDomain") s.multi_domain = SettingInt(value, 0) == 1;
    else if (key == "DefaultDomain" && !value.empty()) s.default_domain = value;
    else if (key == "AttachCountLimit") s.attach_count_limit = static_cast<int>(SettingInt(value, s.attach_count_limit));
    else if (key == "RequestMaxKB") s.request_max_kb = SettingInt(value, s.request_max_kb);
    else if (key == "FetchTimeoutSeconds") s.fetch_timeout_seconds = static_cast<int>(SettingInt(value, s.fetch_timeout_seconds));
    else if (key == "FetchMaxKB") s.fetch_max_kb = SettingInt(value, s.fetch_max_kb);
    else if (key == "FetchAllowPrivate") s.fetch_allow_private = SettingInt(value, 0) == 1;
    else if (key == "ScanUnavailable") s.scan_unavailable_refuse = EqualsNoCase(value, "refuse");
  });
  return s;
}

std::optional<SiteSettings>& Cache() {
  static std::optional<SiteSettings> settings;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnReloadEnv([] { Cache().reset(); });
  }
  return settings;
}

}  // namespace

const SiteSettings& GINI() {
  auto& s = Cache();
  if (!s) s = Load();
  return *s;
}

const LevelSettings& GINI_Level(int level) {
  if (level < 0 || level >= kLevelCount) level = 0;
  return GINI().levels[level];
}

int isMultiDomain() { return GINI().multi_domain ? 1 : 0; }

int level_priv_check(int level, std::uint32_t bit) {
  return (GINI_Level(level).privileges & bit) == bit && bit != 0 ? 1 : 0;
}

std::int64_t level_priv_attachsize(int level) { return GINI_Level(level).attach_size_kb; }
