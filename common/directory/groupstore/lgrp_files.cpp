#include "common/directory/groupstore/lgrp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "host/account/account.h"
#include "host/base/unique_fd.h"

int LgrpReadFile(const std::string& path, std::string& text) {
  text.clear();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return errno == ENOENT || errno == ENOTDIR ? kLgrpOk : kLgrpFileError;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kLgrpFileMax) {
    return kLgrpFileError;
  }
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  while (have < text.size()) {
    ssize_t n = read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text.clear();
      return kLgrpFileError;
    }
    if (n == 0) break;  // shorter than it was a moment ago
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);
  return kLgrpOk;
}

std::vector<std::string_view> LgrpLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  return lines;
}

std::vector<std::string_view> LgrpFields(std::string_view line) {
  std::vector<std::string_view> fields;
  if (line.size() > kLgrpLineMax) return fields;
  while (true) {
    std::size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  return fields;
}

namespace {

// atoi: blanks, a sign and the digits that follow; clamped to int.
int ParseInt(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > INT_MAX) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

bool ParseNumber(std::string_view s, unsigned& number) {
  if (s.empty() || s.size() > 8) return false;
  number = 0;
  for (char c : s) {
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) return false;
    number = number * 16 + static_cast<unsigned>(d);
  }
  return number != 0;
}

std::string Cut(std::string_view s, std::size_t width) {
  return std::string(s.substr(0, width));
}

}  // namespace

bool LgrpParseGroupLine(std::string_view line, std::string_view parent, LGRP_Group& out) {
  std::vector<std::string_view> f = LgrpFields(line);
  unsigned number = 0;
  if (f.size() < 5 || !ParseNumber(f[0], number)) return false;
  out = LGRP_Group{};
  out.id = LgrpChildId(parent, number);
  out.name = Cut(f[1], kLgrpNameMax);
  out.reserved = Cut(f[2], kLgrpReservedMax);
  out.account = Cut(f[3], kLgrpAccountMax);
  out.text5 = Cut(f[4], kLgrpText5Max);
  out.text6 = f.size() > 5 ? Cut(f[5], kLgrpText6Max) : "0";
  if (f.size() > 6) out.text7 = Cut(f[6], kLgrpText7Max);
  if (f.size() > 7) out.created = ParseInt(f[7]);
  if (f.size() > 8) out.value9 = ParseInt(f[8]);
  if (f.size() > 9) out.level = ParseInt(f[9]);
  return true;
}

std::string LgrpFormatLine(const LGRP_Group& r) {
  char head[16];
  std::snprintf(head, sizeof head, "%x", LGRP_GroupNumber(r.id));
  std::string line = head;
  for (const std::string* text : {&r.name, &r.reserved, &r.account, &r.text5, &r.text6, &r.text7}) {
    line += '\t';
    line += *text;
  }
  for (int value : {r.created, r.value9, r.level}) {
    line += '\t';
    line += std::to_string(value);
  }
  line += '\n';
  return line;
}

std::vector<std::string> LgrpUserLines(std::string_view text) {
  std::vector<std::string> users;
  for (std::string_view line : LgrpLines(text)) {
    if (!line.empty() && line.size() <= kLgrpUserIdMax && LgrpPlainText(line)) {
      users.emplace_back(line);
    }
  }
  return users;
}

RewriteResult LgrpRewrite(const std::string& dir, const char* file, const char* prefix, bool create,
                          const std::function<bool(std::string&)>& change) {
  RewriteOptions options;
  options.temp_name = [&dir, prefix](int attempt) { return StampedTempName(dir, prefix, attempt); };
  options.mode = 0600;
  options.create = create;
  return LockedRewrite(dir + "/" + file, options, change);
}

std::string LgrpUserListPath(std::string_view user) {
  return user_home(user) + "/Group.list";
}

bool LgrpUserOk(std::string_view user) {
  return IsValidUserId(user);
}
