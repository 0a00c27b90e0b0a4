#include "host/site/key_value.h"

#include <charconv>

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

void ForEachKeyValue(std::string_view text,
                     const std::function<void(std::string_view, std::string_view)>& fn) {
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    fn(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
}

long long SettingInt(std::string_view value, long long def) {
  long long v = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || end != value.data() + value.size()) return def;
  return v;
}
