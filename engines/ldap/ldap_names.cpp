#include "engines/ldap/ldap_names.h"

#include <ldap.h>

#include <cstdio>

#include "host/base/ascii.h"
#include "host/base/strings.h"

namespace mds_ldap {

namespace {

using ascii::IsControl;

void Hex(std::string& out, unsigned char c) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "\\%02x", c);
  out += buf;
}

std::string_view View(const berval& bv) {
  return bv.bv_val ? std::string_view(bv.bv_val, bv.bv_len) : std::string_view();
}

// A parsed DN, freed when it goes.
class ParsedDn {
 public:
  explicit ParsedDn(std::string_view text) {
    std::string copy(text);  // ldap_str2dn reads a C string
    if (copy.find('\0') != std::string::npos) return;
    ok_ = ldap_str2dn(copy.c_str(), &dn_, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS;
  }
  ~ParsedDn() {
    if (dn_) ldap_dnfree(dn_);
  }
  ParsedDn(const ParsedDn&) = delete;
  ParsedDn& operator=(const ParsedDn&) = delete;
  bool ok() const { return ok_; }
  // The RDNs, first (leftmost) first.
  std::vector<LDAPRDN> Rdns() const {
    std::vector<LDAPRDN> out;
    for (LDAPDN p = dn_; p && *p; ++p) out.push_back(*p);
    return out;
  }

 private:
  LDAPDN dn_ = nullptr;
  bool ok_ = false;
};

// The one AVA of a single-valued RDN, or null.
const LDAPAVA* OnlyAva(LDAPRDN rdn) {
  if (!rdn || !rdn[0] || rdn[1]) return nullptr;
  return rdn[0];
}

bool SameRdn(LDAPRDN a, LDAPRDN b) {
  std::size_t i = 0;
  for (; a[i] && b[i]; ++i) {
    if (!EqualsNoCase(View(a[i]->la_attr), View(b[i]->la_attr)) ||
        !EqualsNoCase(View(a[i]->la_value), View(b[i]->la_value))) {
      return false;
    }
  }
  return !a[i] && !b[i];
}

}  // namespace

std::string EscapeDnValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (std::size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    bool edge_space = c == ' ' && (i == 0 || i + 1 == value.size());
    if (IsControl(value[i])) {
      Hex(out, c);
    } else if (std::string_view(",+\"\\<>;=").find(static_cast<char>(c)) !=
                   std::string_view::npos ||
               edge_space || (c == '#' && i == 0)) {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string EscapeFilterValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
      Hex(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

std::optional<std::vector<std::string>> SplitGroupPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::vector<std::string> names;
  if (path.empty()) return names;
  while (true) {
    std::size_t slash = path.find('/');
    std::string_view name = path.substr(0, slash);
    if (name.empty()) return std::nullopt;
    for (char c : name) {
      if (IsControl(c)) return std::nullopt;
    }
    names.emplace_back(name);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return names;
}

std::optional<std::string> GroupDn(std::string_view path, std::string_view naming_attr,
                                   std::string_view group_base) {
  std::optional<std::vector<std::string>> names = SplitGroupPath(path);
  if (!names) return std::nullopt;
  std::string dn(group_base);
  for (const std::string& name : *names) {
    dn = std::string(naming_attr) + "=" + EscapeDnValue(name) + (dn.empty() ? "" : ",") + dn;
  }
  return dn;
}

std::optional<std::string> GroupPathOfDn(std::string_view dn, std::string_view naming_attr,
                                         std::string_view group_base) {
  ParsedDn entry(dn), base(group_base);
  if (!entry.ok() || !base.ok()) return std::nullopt;
  std::vector<LDAPRDN> e = entry.Rdns(), b = base.Rdns();
  if (e.size() < b.size()) return std::nullopt;
  std::size_t above = e.size() - b.size();
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (!SameRdn(e[above + i], b[i])) return std::nullopt;
  }
  std::string path;
  for (std::size_t i = above; i-- > 0;) {
    const LDAPAVA* ava = OnlyAva(e[i]);
    if (!ava || (ava->la_flags & LDAP_AVA_BINARY) ||
        !EqualsNoCase(View(ava->la_attr), naming_attr)) {
      return std::nullopt;
    }
    std::string_view name = View(ava->la_value);
    if (name.empty()) return std::nullopt;
    for (char c : name) {
      if (c == '/' || c == '@' || IsControl(c)) return std::nullopt;
    }
    path += '/';
    path += name;
  }
  return path.empty() ? std::string("/") : path;
}

std::optional<std::string> FirstRdnValue(std::string_view dn, std::string_view attr) {
  ParsedDn parsed(dn);
  if (!parsed.ok()) return std::nullopt;
  std::vector<LDAPRDN> rdns = parsed.Rdns();
  if (rdns.empty()) return std::nullopt;
  const LDAPAVA* ava = OnlyAva(rdns[0]);
  if (!ava || (ava->la_flags & LDAP_AVA_BINARY) || !EqualsNoCase(View(ava->la_attr), attr)) {
    return std::nullopt;
  }
  return std::string(View(ava->la_value));
}

bool SameDn(std::string_view a, std::string_view b) {
  ParsedDn pa(a), pb(b);
  if (!pa.ok() || !pb.ok()) return false;
  std::vector<LDAPRDN> ra = pa.Rdns(), rb = pb.Rdns();
  if (ra.size() != rb.size()) return false;
  for (std::size_t i = 0; i < ra.size(); ++i) {
    if (!SameRdn(ra[i], rb[i])) return false;
  }
  return true;
}

}  // namespace mds_ldap
