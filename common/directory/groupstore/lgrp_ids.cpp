// Group ids: the two-byte aware searches, splitting, parents, folders and the
// group name check.
#include <cstdio>

#include "common/directory/groupstore/lgrp.h"
#include "host/files/root.h"
#include "host/site/domain.h"
#include "host/site/domain_table.h"
#include "host/site/site.h"

std::size_t MbStrChr(std::string_view s, char c) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == c) return i;
    if (static_cast<unsigned char>(s[i]) > 0x80) ++i;  // the second byte is never a match
  }
  return std::string_view::npos;
}

std::size_t MbStrRChr(std::string_view s, char c) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == c) found = i;
    if (static_cast<unsigned char>(s[i]) > 0x80) ++i;
  }
  return found;
}

std::string LgrpSplitId::Suffix() const {
  std::string suffix;
  if (has_domain) {
    suffix += '@';
    suffix += domain;
  }
  return suffix;
}

LgrpSplitId LgrpSplit(std::string_view id) {
  LgrpSplitId s;
  std::size_t at = MbStrChr(id, '@');
  s.path = id.substr(0, at);
  if (at != std::string_view::npos) {
    s.domain = id.substr(at + 1);
    s.has_domain = true;
  }
  return s;
}

bool ParseGroup(std::string_view id, std::string& parent, std::string& last) {
  LgrpSplitId s = LgrpSplit(id);
  if (s.path.empty() || s.path == "/") return false;
  std::size_t slash = MbStrRChr(s.path, '/');
  if (slash == std::string_view::npos) return false;
  parent = slash == 0 ? std::string("/") : std::string(s.path.substr(0, slash));
  parent += s.Suffix();
  last = s.path.substr(slash + 1);
  return true;
}

std::string LGRP_ParentID(std::string_view id) {
  LgrpSplitId s = LgrpSplit(id);
  std::size_t slash = MbStrRChr(s.path, '/');
  std::string parent =
      slash == std::string_view::npos || slash == 0 ? "/" : std::string(s.path.substr(0, slash));
  return parent + s.Suffix();
}

std::string LGRP_QualifyID(std::string_view id, std::string_view domain) {
  std::string out(id);
  if (!domain.empty() && MbStrChr(id, '@') == std::string_view::npos) {
    out += '@';
    out += domain;
  }
  return out;
}

unsigned LGRP_GroupNumber(std::string_view id) {
  LgrpSplitId s = LgrpSplit(id);
  std::size_t slash = MbStrRChr(s.path, '/');
  std::string_view last = slash == std::string_view::npos ? s.path : s.path.substr(slash + 1);
  unsigned n = 0;
  for (char c : last) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0 || n > 0x0fffffffu) return 0;
    n = n * 16 + static_cast<unsigned>(digit);
  }
  return n;
}

std::string LgrpChildId(std::string_view parent, unsigned number) {
  LgrpSplitId s = LgrpSplit(parent);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", number);
  std::string id(s.path);
  if (id.empty() || id.back() != '/') id += '/';
  id += hex;
  return id + s.Suffix();
}

namespace {

bool IsNumberComponent(std::string_view c) {
  if (c.empty() || c.size() > 8) return false;
  for (char ch : c) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> LGRP_GroupDir(std::string_view id) {
  if (id.size() > kLgrpIdMax) return std::nullopt;
  LgrpSplitId s = LgrpSplit(id);
  if (s.path.empty() || s.path.front() != '/') return std::nullopt;
  if (s.has_domain && !s.domain.empty() && !IsSafeDomainName(s.domain)) return std::nullopt;
  std::string_view path = s.path;
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  // Every component is a number: no "..", no empty component, no other name.
  if (path != "/") {
    std::string_view rest = path.substr(1);
    while (true) {
      std::size_t slash = rest.find('/');
      if (!IsNumberComponent(rest.substr(0, slash))) return std::nullopt;
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
  }
  std::string dir = isMultiDomain() && !s.domain.empty() ? GetDomainDir(s.domain) + "/grp"
                                                         : host::RootPath("public/grp");
  if (path != "/") dir += path;
  return dir;
}

bool LgrpPlainText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

int LGRP_CheckGroupName(const char* text, int charset, bool path) {
  if (!text) return kLgrpBadName;
  std::string_view t(text);
  if (t == "/" || t.size() > (path ? 2048u : 256u)) return kLgrpBadName;
  for (std::size_t i = 0; i < t.size();) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    std::size_t length = 1;
    if (charset == 1 && c >= 0xC0) {
      length = c > 0xFB ? 6 : c > 0xF7 ? 5 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    } else if (charset >= 2 && charset <= 5 && c > 0x7F) {
      length = 2;
    }
    if (length > 1) {
      if (i + length > t.size()) return kLgrpBadName;  // cut short by the end
      i += length;
      continue;
    }
    switch (c) {
      case ' ':
      case '"':
      case '\'':
      case ',':
      case ';':
      case '<':
      case '>':
      case '@':
        return kLgrpBadName;
      case '/':
        if (!path || (i + 1 < t.size() && t[i + 1] == '/')) return kLgrpBadName;
        break;
      default:
        break;
    }
    ++i;
  }
  return 0;
}
