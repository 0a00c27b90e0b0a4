// What the operations of the LDAP back end share: the per-context state
// (settings and connection) and the lookups every operation needs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/directory/base/mds_abi.h"
#include "common/directory/base/mds_records.h"
#include "engines/ldap/ldap_link.h"
#include "engines/ldap/ldap_settings.h"

#define MDS_EXPORT extern "C" __attribute__((visibility("default")))

namespace mds_ldap {

// Table results (common/directory/builtin/builtin.h names the same codes;
// the back end does not link the built-in operations).
inline constexpr int kOk = 0;
inline constexpr int kNoMemory = 1;
inline constexpr int kFailed = 2;  // server down, timeout, bind refused, other errors
inline constexpr int kExists = 3;
inline constexpr int kHasSubGroups = 4;
inline constexpr int kNoSuch = 5;  // no such group or user, malformed id
inline constexpr int kNotSupported = 6;

struct Backend {
  Settings settings;
  Link link{settings};
};

// The context's back end: as MDS_Configure set it up, or configured from
// etc/mds_ldap.conf on first use. Null after a log line when the
// configuration cannot be read.
Backend* For(MDS_Context* ctx);

// An LDAP result as a table result.
int Code(int rc);

// The DN of a group id (a name path without domain); nullopt for a null or
// malformed id.
std::optional<std::string> GroupDnOf(const Settings& s, const char* id);

// The group path of a DN read back; nullopt for an entry outside the tree.
std::optional<std::string> PathOf(const Settings& s, const std::string& dn);

// "(objectClass=<group class>)", or any entry for the group base itself,
// which may be of another class.
std::string GroupClassFilter(const Settings& s, const std::string& dn);

// Finds a user's entry: kOk with its DN (and the attributes asked for in
// `entry`), kNoSuch when there is none (or the id is empty), kFailed on
// errors and when two entries hold the id.
int FindUser(Backend& b, const char* op, const char* user, Entry& entry,
             const std::vector<std::string>& attrs = {});

// Reads one group entry with the attributes asked for: kOk, kNoSuch, kFailed.
int ReadGroup(Backend& b, const char* op, const std::string& dn,
              const std::vector<std::string>& attrs, Entry& entry);

// The user ids of a list of user DNs (member or administrator values), in
// their order. Values that are no user (the empty member, other entries) are
// left out.
int UserIdsOf(Backend& b, const char* op, const std::vector<std::string>& dns,
              std::vector<std::string>& ids);

// True for a group name that can be stored and read back: 1 to 255 bytes,
// no control byte, "/" or "@".
bool NameOk(std::string_view name);

}  // namespace mds_ldap

// Operations that others of this back end build on.
extern "C" int MDS_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user);
extern "C" int MDS_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user);
