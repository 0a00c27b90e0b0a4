// The application layer of the directory service: what the rest of the system
// calls on an open context (common/directory/mds.h). It reaches the back end
// only through the 25 operations.
//
// The group checks MDSAP_IsGroupAdmin and MDSAP_IsInGroupTree answer 1, 0 or
// -1; only 1 grants anything. Logs go to <root>/log/error.log.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/directory/mds.h"
#include "host/account/user_info.h"

// A user id as this layer passes it on: in a multi-domain site with "@" and
// the context's domain appended when it has none, otherwise cut at its "@".
std::string MDSAP_QualifyUser(const MDS_Context* ctx, std::string_view user);

// ---- Group checks ----

// 1 when the user holds `privilege` (etc/privileges.conf, for the domain after
// "@" in the context's assignment, or the site) or is listed as administrator
// of the group or of a group above it (compared without case, both
// qualified); 0; -1 when an administrator list cannot be read. A trailing "/"
// of the group is ignored.
int MDSAP_IsGroupAdmin(MDS_Context* ctx, const char* user, const char* group,
                       const char* privilege);

// 1 when the user belongs to the group or a group below it ("/" holds every
// user in any group); 0; -1 for an empty group or when the user's groups
// cannot be read. The group's "@domain" and a trailing "/" are ignored.
int MDSAP_IsInGroupTree(MDS_Context* ctx, const char* user, const char* group);

// 1 when the user holds privilege "300" in the context's domain or
// administers any group; 0; -1 on error.
int MDSAP_IsSiteAdmin(MDS_Context* ctx, const char* user);

// 1 when the group lists the user as a member; 0 (also on errors).
int MDSAP_IsInTheGroup(MDS_Context* ctx, const char* user, const char* group);

// ---- Finding groups ----

// Depth first from `start` (itself first): the first group whose id without
// domain ends with `text`.
std::optional<std::string> MDSAP_FindGroupID(MDS_Context* ctx, const char* start, const char* text);

// Walks `path` (names joined by "/", relative to `start`) down the tree: the
// group reached; when a name is not found, `path` is emptied and `start` is
// the answer. nullopt when a list cannot be read.
std::optional<std::string> MDSAP_FindGroupID2(MDS_Context* ctx, const char* start,
                                              std::string& path);

// The group whose mailing account is `account` (both qualified as user ids):
// first among the sub-groups of `start`, then below each in turn. 1 with the
// id in `out` (cut to size - 1 bytes), else 0.
int MDSAP_FindGroupIDByFwd(MDS_Context* ctx, const char* start, const char* account,
                           std::string& out, std::size_t size);

// ---- Levels and default group ----

// The group's level; 0 inherits the parent's, up to the root (0).
int MDSAP_GroupLevelGet(MDS_Context* ctx, const char* group);

// Stores level L - 1 in the user's password record when the group's level L
// is positive. 0, or 2 when the record cannot be read or stored.
int MDSAP_UserGroupLevelApply(MDS_Context* ctx, const char* user, const char* group);

// The context's default group, created when it does not exist; nullopt when
// it cannot be.
std::optional<std::string> MDSAP_DefaultGroup(MDS_Context* ctx);

// ---- Membership ----

// Adds the user to the group; a user in the default group is moved instead.
// Afterwards the group's level is applied and the user added to the group's
// forwarding list.
int MDSAP_GroupUserCreate(MDS_Context* ctx, const char* group, const char* user);

// Removes the user from the group; a user for whom it is the last group moves
// to the default group; leaving the default group as the last one answers 8
// unless "breakingrule" is set.
int MDSAP_GroupUserDelete(MDS_Context* ctx, const char* group, const char* user);

// Adds the user to the forwarding file of the group's mailing account.
int mds_FwdAdd(MDS_Context* ctx, const char* group, const char* user);

// ---- User life cycle ----
//
// The three account integers of a user creation: the new account's level
// (0 to 15), then the two password integers of UpdatePass (host/passwd_file.h):
// `is_hash` (the password is a crypt hash, stored as it is) and `no_password`
// (store "*": the web server authenticates).

int MDSAP_UserCreate(MDS_Context* ctx, const char* group, const char* user, const char* password,
                     int level, int is_hash, int no_password, const UINFO& info);
int MDSAP_UserRemove(MDS_Context* ctx, const char* user);
int MDSAP_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password, int is_hash,
                         int no_password);
// Stores a password record ("user id:level:hash") as it is (mode 0).
int MDSAP_UserPassUpdate2(MDS_Context* ctx, const char* user, const char* record);
int MDSAP_UserInfoGet(MDS_Context* ctx, const char* user, UINFO& info);
int MDSAP_UserInfoUpdate(MDS_Context* ctx, const char* user, const UINFO& info);

// ---- Forwarding file ----
//
// ".forward" in an account's home, or ".forward.old" when only that exists
// (then read and written in its place). Control lines "@A:", "@S:", "@B:" at
// the top, then one address per line, optionally "#" and a note. Accounts are
// qualified with the session's domain and must exist (5 otherwise). Every
// change rewrites the file through a temporary file and a rename under an
// exclusive lock, so concurrent changes take turns.

struct MDSAP_FwdEntry {
  std::string address;
  std::string replacement;  // input of MDSAP_FwdAdd's flag 4 only
  std::string note;
  int active = 0;
};

inline constexpr int kFwdNote = 1;            // MDSAP_FwdAdd: replace the note
inline constexpr int kFwdActive = 2;          // replace the active flag
inline constexpr int kFwdReplaceAddress = 4;  // replace the address by the replacement

// The entries of a forwarding file's text (control lines skipped wherever
// they stand, indented ones too; lines without an address dropped). All read
// as inactive.
std::vector<MDSAP_FwdEntry> MDSAP_FwdParse(std::string_view text);

int MDSAP_FwdRead(MDS_Context* ctx, const char* account, std::string& text);
int MDSAP_FwdGet(MDS_Context* ctx, const char* account, std::vector<MDSAP_FwdEntry>& out);
int MDSAP_FwdAdd(MDS_Context* ctx, const char* account, const MDSAP_FwdEntry& entry, int flags);
int MDSAP_FwdDel(MDS_Context* ctx, const char* account, const char* address);
int MDSAP_FwdSenderGet(MDS_Context* ctx, const char* account, std::vector<std::string>& out);
// Sets the "@B:" block marker to `text`, or clears it when `text` is null.
int MDSAP_FwdBlockSet(MDS_Context* ctx, const char* account, const char* text);
