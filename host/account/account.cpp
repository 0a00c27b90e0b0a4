#include "host/account/account.h"

#include <optional>
#include <string>

#include "host/base/process.h"
#include "host/files/files.h"
#include "host/files/root.h"
#include "host/site/key_value.h"
#include "host/site/site.h"

namespace {

struct AccountLine {
  std::string_view level;
  std::string_view hash;
};

std::optional<std::string>& AccountCache() {
  static std::optional<std::string> text;
  return text;
}

const std::string& AccountFile() {
  std::optional<std::string>& text = AccountCache();
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnReloadEnv([] { AccountCache().reset(); });
  }
  if (!text) {
    text.emplace();
    if (MFILE_Read(host::RootPath("etc/passwd"), *text) < 0) text->clear();
  }
  return *text;
}

// The line of a user: "user id:level:hash".
std::optional<AccountLine> FindUser(std::string_view user_id) {
  if (user_id.empty()) return std::nullopt;
  std::string_view text = AccountFile();
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t c1 = line.find(':');
    if (c1 == std::string_view::npos || line.substr(0, c1) != user_id) continue;
    std::string_view rest = line.substr(c1 + 1);
    size_t c2 = rest.find(':');
    return AccountLine{rest.substr(0, c2),
                       c2 == std::string_view::npos ? std::string_view() : rest.substr(c2 + 1)};
  }
  return std::nullopt;
}

}  // namespace

void AccountFileChanged() { AccountCache().reset(); }

int user_exist(std::string_view user_id) { return FindUser(user_id) ? 1 : 0; }

int ReadUserLevel(std::string_view user_id) {
  auto line = FindUser(user_id);
  if (!line) return 0;
  long long level = SettingInt(line->level, 0);
  return level >= 0 && level < kLevelCount ? static_cast<int>(level) : 0;
}

int ReadPass(std::string_view user_id, std::string& hash) {
  auto line = FindUser(user_id);
  if (!line) return -1;
  hash.assign(line->hash);
  return 0;
}

std::string user_home(std::string_view user_id) {
  return host::RootPath("home/") + std::string(user_id);
}

bool IsValidUserId(std::string_view id) {
  if (id.empty() || id.size() > 127 || id.front() == '.') return false;
  for (unsigned char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '+' || c == '@' || c == '-';
    if (!ok) return false;
  }
  return true;
}
