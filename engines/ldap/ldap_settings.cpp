#include "engines/ldap/ldap_settings.h"

#include <fcntl.h>
#include <ldap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "host/account/user_info.h"
#include "host/base/ascii.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"
#include "host/files/root.h"
#include "host/site/key_value.h"

namespace mds_ldap {

namespace {

// The attribute of each user-information field by default (inetOrgPerson
// and the classes it extends); fields without one are not stored.
const std::array<const char*, MDS_USERINFO_FIELDS> kUserAttrDefaults = {
    "uid",                       // UID
    "givenName",                 // UNAME
    "sn",                        // ULNAME
    "labeledURI",                // UURL
    "mail",                      // UEMAIL
    "",                          // UGENDER
    "title",                     // UOCC
    "",                          // UCOUNTRY
    "",                          // UBLOOD
    "",                          // UBIRTHDAY
    "",                          // UEDU
    "description",               // UMEMO
    "pager",                     // UPAGER
    "employeeNumber",            // UPID
    "mobile",                    // UCELLPHONE
    "",                          // UHOME_ZIP
    "",                          // UHOME_PREFECTURE
    "",                          // UHOME_CITY
    "homePostalAddress",         // UADDRESS
    "homePhone",                 // UHOME_TEL
    "",                          // UHOME_TEL2
    "facsimileTelephoneNumber",  // UFAX
    "o",                         // UCOMPANY
    "postalCode",                // UCOMPANY_ZIP
    "st",                        // UCOMPANY_PREFECTURE
    "l",                         // UCOMPANY_CITY
    "street",                    // UCOMPANY_ADDR
    "",                          // UCOMPANY_URL
    "",                          // UCOMPANY_EMAIL
    "telephoneNumber",           // UOFFICE_TEL
    "",                          // UCOMPANY_TEL2
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",  // UCUSTOM1 to UCUSTOM8
};

// The keys of the group fields, by MDS_GroupInfo index (0, the id, has none).
const std::array<const char*, kGroupFields> kGroupKeys = {"",
                                                          "group_account",
                                                          "group_description",
                                                          "group_level",
                                                          "group_text5",
                                                          "group_created",
                                                          "group_text7",
                                                          "group_number8"};

enum class TextKind { kText, kPath, kAttribute };

// Keys whose value is kept as text: as it stands, as a path below the root,
// or as an attribute name.
struct TextKey {
  const char* key;
  std::string Settings::*field;
  TextKind kind;
};
const TextKey kTextKeys[] = {
    {"tls_cacert", &Settings::tls_cacert, TextKind::kPath},
    {"binddn", &Settings::binddn, TextKind::kText},
    {"bindpw_file", &Settings::bindpw_file, TextKind::kPath},
    {"user_base", &Settings::user_base, TextKind::kText},
    {"user_class", &Settings::user_class, TextKind::kAttribute},
    {"user_id", &Settings::user_id, TextKind::kAttribute},
    {"group_base", &Settings::group_base, TextKind::kText},
    {"group_class", &Settings::group_class, TextKind::kAttribute},
    {"group_name", &Settings::group_name, TextKind::kAttribute},
    {"member", &Settings::member, TextKind::kAttribute},
    {"admin", &Settings::admin, TextKind::kAttribute},
    {"empty_member", &Settings::empty_member, TextKind::kText},
    {"logfile", &Settings::logfile, TextKind::kPath},
};

std::vector<std::string> Words(std::string_view value) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < value.size()) {
    std::size_t end = value.find_first_of(" \t,", at);
    if (end == std::string_view::npos) end = value.size();
    if (end > at) out.emplace_back(value.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

bool Flag(std::string_view value, bool& out) {
  if (value == "yes" || value == "on" || value == "1" || value == "true") {
    out = true;
    return true;
  }
  if (value == "no" || value == "off" || value == "0" || value == "false") {
    out = false;
    return true;
  }
  return false;
}

bool Verify(std::string_view value, int& out) {
  struct Row {
    const char* name;
    int value;
  } rows[] = {{"never", LDAP_OPT_X_TLS_NEVER},
              {"allow", LDAP_OPT_X_TLS_ALLOW},
              {"try", LDAP_OPT_X_TLS_TRY},
              {"demand", LDAP_OPT_X_TLS_DEMAND},
              {"hard", LDAP_OPT_X_TLS_HARD}};
  for (const Row& r : rows) {
    if (value == r.name) {
      out = r.value;
      return true;
    }
  }
  return false;
}

// An attribute name or OID: letters, digits, "-", ";" and "." (empty: not
// stored). Anything else could change a filter or a request.
bool AttributeName(std::string_view value) {
  for (char c : value) {
    if (!ascii::IsAlnum(c) && c != '-' && c != '.' && c != ';') return false;
  }
  return true;
}

std::string BelowRoot(std::string_view path) {
  if (path.empty() || path.front() == '/') return std::string(path);
  return host::RootPath(path);
}

}  // namespace

const char* GroupFieldDefault(int field) {
  switch (field) {
    case 3:
    case 5:
    case 6:
    case 7:
      return "0";
    default:
      return "";
  }
}

bool ParseSettings(std::string_view text, Settings& out, std::string& why) {
  out.tls_verify = LDAP_OPT_X_TLS_DEMAND;
  for (int i = 0; i < MDS_USERINFO_FIELDS; ++i) out.user_attrs[i] = kUserAttrDefaults[i];
  out.group_attrs[2] = "description";
  out.group_attrs[5] = "createTimestamp";
  out.logfile = host::RootPath("log/mds.log");
  ForEachKeyValue(text, [&](std::string_view key, std::string_view value) {
    if (!why.empty()) return;
    auto bad = [&] { why = "bad value of \"" + std::string(key) + "\""; };
    for (const TextKey& k : kTextKeys) {
      if (key != k.key) continue;
      std::string& field = out.*k.field;
      if (k.kind == TextKind::kPath)
        field = BelowRoot(value);
      else if (k.kind == TextKind::kText || AttributeName(value))
        field = std::string(value);
      else
        bad();
      return;
    }
    if (key == "uri") {
      out.uris = Words(value);
    } else if (key == "starttls" || key == "debug") {
      if (!Flag(value, key == "debug" ? out.debug : out.starttls)) bad();
    } else if (key == "tls_verify") {
      if (!Verify(value, out.tls_verify)) bad();
    } else if (key == "group_aux_classes") {
      out.group_aux_classes = Words(value);
      for (const std::string& c : out.group_aux_classes) {
        if (!AttributeName(c)) bad();
      }
    } else if (key == "timeout") {
      long long t = SettingInt(value, -1);
      if (t < 1 || t > 300)
        bad();
      else
        out.timeout = static_cast<int>(t);
    } else if (key.starts_with("userinfo.")) {
      int field = UserInfoField(key.substr(9));
      // UID is user_id's.
      if (field <= 0 || !AttributeName(value))
        bad();
      else
        out.user_attrs[field] = std::string(value);
    } else {
      for (int f = 1; f < kGroupFields; ++f) {
        if (key != kGroupKeys[f]) continue;
        if (AttributeName(value))
          out.group_attrs[f] = std::string(value);
        else
          bad();
        return;
      }
      why = "unknown key \"" + std::string(key) + "\"";
    }
  });
  if (!why.empty()) return false;
  out.user_attrs[0] = out.user_id;
  if (out.uris.empty()) {
    why = "no uri";
    return false;
  }
  for (const std::string& uri : out.uris) {
    if (!uri.starts_with("ldap://") && !uri.starts_with("ldaps://")) {
      why = "a uri is neither ldap:// nor ldaps://";
      return false;
    }
  }
  if (out.user_base.empty() || out.group_base.empty()) {
    why = "user_base and group_base are needed";
    return false;
  }
  for (const std::string* name : {&out.user_class, &out.user_id, &out.group_class, &out.group_name,
                                  &out.member, &out.admin}) {
    if (name->empty()) {
      why = "a class or attribute name is empty";
      return false;
    }
  }
  return true;
}

bool ReadBindPassword(const std::string& path, std::string& password, std::string& why) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) {
    why = "cannot open bindpw_file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    why = "bindpw_file " + path +
          " refused: it must be a regular file owned by this user with no group or other "
          "permissions (mode 0600 or 0400)";
    return false;
  }
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0 && text.size() < 4096) text.append(buf, n);
  if (n < 0) {
    why = "cannot read bindpw_file " + path;
    return false;
  }
  std::size_t end = text.find_first_of("\r\n");
  password = text.substr(0, end);
  std::fill(text.begin(), text.end(), '\0');
  return true;
}

bool LoadSettings(const std::string& path, Settings& out, std::string& why) {
  std::string full = BelowRoot(path);
  std::string text;
  if (MFILE_Read(full, text) < 0) {
    why = "cannot read " + full;
    return false;
  }
  if (!ParseSettings(text, out, why)) {
    why = full + ": " + why;
    return false;
  }
  if (!out.bindpw_file.empty() && !ReadBindPassword(out.bindpw_file, out.bindpw, why)) return false;
  return true;
}

}  // namespace mds_ldap
