#include "host/account/passwd_file.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>

#include "host/account/account.h"
#include "host/files/locked_rewrite.h"
#include "host/files/root.h"
#include "host/site/site.h"

namespace {

bool ValidHash(std::string_view hash) {
  return hash.find_first_of(":\r\n") == std::string_view::npos;
}

// The lines of the account file, and the position of a user's line.
struct Lines {
  std::string_view text;
  // The [begin, end) of the user's line including its newline, or npos.
  std::size_t begin = std::string_view::npos, end = 0;
};

Lines FindLine(std::string_view text, std::string_view user_id) {
  Lines l{text};
  for (std::size_t at = 0; at < text.size();) {
    std::size_t nl = text.find('\n', at);
    std::size_t stop = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view line = text.substr(at, stop - at);
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && line.substr(0, colon) == user_id) {
      l.begin = at;
      l.end = stop;
      return l;
    }
    at = stop;
  }
  return l;
}

// Runs `change` over the account file under its lock. -1 when it cannot be
// written.
int ChangeAccounts(const std::function<bool(std::string&)>& change) {
  RewriteOptions options;
  std::string etc = host::RootPath("etc");
  options.temp_name = [&etc](int attempt) { return StampedTempName(etc, ".passwd_", attempt); };
  options.mode = 0600;
  RewriteResult r = LockedRewrite(host::RootPath("etc/passwd"), options, change);
  AccountFileChanged();
  return r.ok() ? 0 : -1;
}

std::string Line(std::string_view user_id, int level, std::string_view hash) {
  std::string line(user_id);
  line += ':';
  line += std::to_string(level);
  line += ':';
  line += hash;
  line += '\n';
  return line;
}

}  // namespace

std::string PassRecord::Text() const {
  std::string line = Line(user, level, hash);
  line.pop_back();
  return line;
}

int ReadPass(std::string_view user_id, PassRecord& record) {
  std::string hash;
  if (ReadPass(user_id, hash) != 0) return -1;
  record.user.assign(user_id);
  record.level = ReadUserLevel(user_id);
  record.hash = std::move(hash);
  return 0;
}

bool ParsePassRecord(std::string_view text, PassRecord& record) {
  std::size_t c1 = text.find(':');
  if (c1 == std::string_view::npos) return false;
  std::size_t c2 = text.find(':', c1 + 1);
  if (c2 == std::string_view::npos) return false;
  std::string_view level = text.substr(c1 + 1, c2 - c1 - 1);
  int value = 0;
  auto [end, ec] = std::from_chars(level.data(), level.data() + level.size(), value);
  if (ec != std::errc() || end != level.data() + level.size()) return false;
  record.user.assign(text.substr(0, c1));
  record.level = value;
  record.hash.assign(text.substr(c2 + 1));
  return ValidHash(record.hash);
}

int UpdatePass2(std::string_view user_id, const PassRecord& record) {
  if (!IsValidUserId(user_id) || record.level < 0 || record.level >= kLevelCount ||
      !ValidHash(record.hash)) {
    return -1;
  }
  bool found = false;
  int r = ChangeAccounts([&](std::string& text) {
    Lines l = FindLine(text, user_id);
    found = l.begin != std::string_view::npos;
    if (!found) return false;
    text.replace(l.begin, l.end - l.begin, Line(user_id, record.level, record.hash));
    return true;
  });
  return r == 0 && found ? 0 : -1;
}

int UpdatePass(std::string_view user_id, std::string_view password, int is_hash, int no_password) {
  PassRecord record;
  if (ReadPass(user_id, record) != 0) return -1;
  if (no_password) {
    record.hash.assign(1, '*');
  } else if (is_hash) {
    record.hash.assign(password);
  } else if (EncryptPass(password, record.hash) != 0) {
    return -1;
  }
  return UpdatePass2(user_id, record);
}

int EncryptPass(std::string_view password, std::string& hash) {
  using GensaltFn = char* (*)(const char*, unsigned long, const char*, int, char*, int);
  using CryptFn = char* (*)(const char*, const char*, void*, int);
  struct Api {
    GensaltFn gensalt = nullptr;
    CryptFn crypt = nullptr;
  };
  // Loaded on first use: most requests never hash a password.
  static const Api api = [] {
    Api a;
    void* library = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library) {
      a.gensalt = reinterpret_cast<GensaltFn>(dlsym(library, "crypt_gensalt_rn"));
      a.crypt = reinterpret_cast<CryptFn>(dlsym(library, "crypt_rn"));
    }
    return a;
  }();
  if (!api.gensalt || !api.crypt || password.find('\0') != std::string_view::npos) return -1;
  char setting[128];
  if (!api.gensalt("$6$", 0, nullptr, 0, setting, sizeof setting)) return -1;
  std::string phrase(password);
  std::string data(32768, '\0');  // struct crypt_data
  const char* out = api.crypt(phrase.c_str(), setting, data.data(), static_cast<int>(data.size()));
  if (!out || out[0] == '*') return -1;
  hash = out;
  return 0;
}

int user_create(std::string_view user_id, int level) {
  if (!IsValidUserId(user_id) || level < 0 || level >= kLevelCount) return 2;
  // The home folder first: an account line is never left without one.
  std::string home = user_home(user_id);
  if (mkdir(home.c_str(), 0700) != 0 && errno != EEXIST) return 2;
  bool existed = false;
  int r = ChangeAccounts([&](std::string& text) {
    existed = FindLine(text, user_id).begin != std::string_view::npos;
    if (existed) return false;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += Line(user_id, level, "*");
    return true;
  });
  if (r != 0) return 2;
  return existed ? 1 : 0;
}

int user_remove(std::string_view user_id) {
  if (!IsValidUserId(user_id)) return -1;
  bool found = false;
  int r = ChangeAccounts([&](std::string& text) {
    Lines l = FindLine(text, user_id);
    found = l.begin != std::string_view::npos;
    if (found) text.erase(l.begin, l.end - l.begin);
    return found;
  });
  if (r != 0) return -1;
  return found ? 0 : 1;
}
