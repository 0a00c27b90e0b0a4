// The LDAP back end's own configuration file (conf/mds_ldap.conf documents
// every key). "key = value" lines; "#" starts a comment line; unknown keys
// are errors, so a misspelt setting never goes unnoticed.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/directory/base/mds_abi.h"

namespace mds_ldap {

inline constexpr int kGroupFields = MDS_GROUPINFO_FIELDS;

struct Settings {
  std::vector<std::string> uris;  // tried in order
  bool starttls = true;           // for ldap:// URIs
  std::string tls_cacert;
  int tls_verify = 0;  // LDAP_OPT_X_TLS_ value; set from "demand" by default
  std::string binddn;
  std::string bindpw_file;
  std::string bindpw;  // read from bindpw_file
  std::string user_base;
  std::string user_class = "inetOrgPerson";
  std::string user_id = "uid";
  std::string group_base;
  std::string group_class = "groupOfNames";
  std::string group_name = "cn";
  std::string member = "member";  // values are user DNs
  std::string admin = "owner";    // values are user DNs
  std::string empty_member;       // the member value of a group without members
  std::vector<std::string> group_aux_classes;
  // The attribute of each MDS_GroupInfo field (index 1 to 7); empty: not
  // stored, read back as the field's default.
  std::array<std::string, kGroupFields> group_attrs;
  // The attribute of each user-information field; empty: not stored.
  std::array<std::string, MDS_USERINFO_FIELDS> user_attrs;
  int timeout = 5;  // seconds: connect, and every operation
  std::string logfile;
  bool debug = false;  // log one line per search
};

// The value a group field reads when it is not stored: "0" for the level,
// creation time, field 7 and the number, "" otherwise.
const char* GroupFieldDefault(int field);

// Parses the file's text. False with a reason (which never holds a
// password) for an unknown key, a bad value or a missing uri or base.
bool ParseSettings(std::string_view text, Settings& out, std::string& why);

// Reads the bind password: the first line of a regular file owned by this
// process's user with no group or other permission bits. False with a reason
// naming the file (never its content).
bool ReadBindPassword(const std::string& path, std::string& password, std::string& why);

// Reads and checks the file at `path` (relative paths below the root) with
// its password file. False with a reason.
bool LoadSettings(const std::string& path, Settings& out, std::string& why);

}  // namespace mds_ldap
