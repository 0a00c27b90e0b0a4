// The records of a public cabinet: ".acl" (fixed records of 1112 bytes,
// sorted by object name, no header) and ".acl.ext" (records of 4864 bytes
// holding the entries of an object beyond its tenth), and the rights a user
// holds on an object through the directory service.
//
// Main record:   0 object name [256]   256 owner [64]   320 group [64]
//                384 permission word (int32)   388 entry room (int16, 10)
//                390 entry count (int16)   392 ten entries of 72 bytes
// Entry:         0 AccessID [64]   64 IDType (int16)   66 zero [2]
//                68 permission (int32)
// Extension:     0 object name [256]   256 sixty-four entries
// Integers are little-endian; texts NUL-padded (a text without NUL is its
// whole field). Trailing partial records are ignored, a negative entry count
// reads as 0, and entries that the files do not hold are empty (no rights).
//
// Readers hold a shared lock on ".acl" while they read it and its extension;
// writers an exclusive one while they rewrite both in place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/directory/mds.h"
#include "host/account/user_info.h"

// Result codes.
inline constexpr int kAclOk = 0;
inline constexpr int kAclReadError = 1;
inline constexpr int kAclExists = 2;
inline constexpr int kAclNoLock = 3;  // also "out of memory" for ACL_ObjectList
inline constexpr int kAclEmptyFile = 4;
inline constexpr int kAclNotFound = 5;
inline constexpr int kAclUnknownUser = 7;
inline constexpr int kAclUnknownGroup = 8;
inline constexpr int kAclBadIndex = 9;  // also "empty path"

// IDType of an entry.
inline constexpr std::int16_t kAclUser = 1;
inline constexpr std::int16_t kAclUser2 = 2;
inline constexpr std::int16_t kAclGroup = 4;
inline constexpr std::int16_t kAclEverybody = 8;

inline constexpr std::size_t kAclRecordSize = 1112;
inline constexpr std::size_t kAclEntrySize = 72;
inline constexpr std::size_t kAclMainEntries = 10;
inline constexpr std::size_t kAclExtRecordSize = 4864;
inline constexpr std::size_t kAclExtEntries = 64;
inline constexpr std::int16_t kAclMaxEntries = INT16_MAX;

struct ACL_Entry {
  std::string access_id;  // a user id or a group id (name path); 63 bytes at most
  std::int16_t id_type = 0;
  std::int32_t permission = 0;
};

struct ACL_Object {
  std::string name;             // the cabinet path; 255 bytes at most
  std::string owner;            // a user id, or a group id when it begins with "/"
  std::string group;            // a group id
  std::int32_t permission = 0;  // four groups of right bits 8 4 2 1, high to low:
                                // group administrators, owner, group members, others
  std::int16_t room = static_cast<std::int16_t>(kAclMainEntries);
  std::vector<ACL_Entry> entries;  // all of them, those of ".acl.ext" included
};

// The object's record: 0 found; 5 no such record or no file; 1 read error;
// 9 empty path. An empty file answers 0 with an empty record.
int ACL_ObjectGet(const std::string& acl_path, std::string_view name, ACL_Object& object);

// Every record of the file: 0; 5 no file; 1 read error; 9 empty path.
int ACL_ObjectList(const std::string& acl_path, std::vector<ACL_Object>& objects);

// The rights `user_id` holds within one directory context (only a check that
// answers 1 grants anything):
//   administrators of the object's group or a group above it, and holders of
//   privilege "300": the bits 15 to 12
//   the owner (without regard to case): 8 and the bits 10 to 8
//   members of the group or a group below it: the bits 7 to 4
//   each entry: everybody, the user (exactly), or a group the user is in
//   when none of these added a right: the bits 3 to 0
int ACL_Rights(MDS_Context* ctx, const ACL_Object& object, std::string_view user_id);

// ACL_Rights in a context of the user's domain, and in a multi-domain site
// also in the system-wide one; 0 when no context opens. An empty user id
// holds no rights.
int ACL_UserRights(const ACL_Object& object, std::string_view user_id);

// MDS_Init without a configuration path, with the assignment "@domain" of
// the user id (from its first "@"), or none when it has no domain or is null.
int MDS_OpenForUser(MDS_Context* ctx, const char* user_id);

// 7 when an owner that is a user id does not exist, 8 when an owner that is
// a group id or a non-empty group is not in the directory (the root always
// is), else 0.
int ACL_ObjectCheck(MDS_Context* ctx, const ACL_Object& object);
// 7 when an entry of IDType 1 or 2 names no user, 8 when one of IDType 4
// names no group, else 0.
int ACL_EntryCheck(MDS_Context* ctx, const ACL_Entry& entry);

// Changes, each under an exclusive lock on the file (created when missing):
// 0 done; 1 read error; 2 already exists; 3 the file cannot be opened and
// locked; 4 empty file; 5 not found; 7, 8 as the checks; 9 negative index.
int ACL_ObjectAdd(MDS_Context* ctx, const std::string& acl_path, const ACL_Object& object);

inline constexpr int kAclSetReplace = 1;    // replace a record of the same name
inline constexpr int kAclSetInsert = 2;     // insert one that does not exist
inline constexpr int kAclSetPropagate = 4;  // copy it to every object below it
int ACL_ObjectSet(MDS_Context* ctx, const std::string& acl_path, const ACL_Object& object,
                  int flags);
int ACL_ObjectDel(const std::string& acl_path, std::string_view name);
int ACL_EntryAdd(MDS_Context* ctx, const std::string& acl_path, std::string_view name,
                 const ACL_Entry& entry);
int ACL_EntryDel(const std::string& acl_path, std::string_view name, std::string_view access_id,
                 int index);
int ACL_EntryModify(MDS_Context* ctx, const std::string& acl_path, std::string_view name,
                    const ACL_Entry& entry, int index);

// Writes the main record's fields and the entries it holds (at most ten) to
// standard output.
void ACL_Dump(const ACL_Object& object);

// The layouts, for the writers, tests and fuzzing. A main record's entries
// beyond the tenth are not in it.
ACL_Object ACL_DecodeRecord(std::string_view bytes);
std::string ACL_EncodeRecord(const ACL_Object& object);
// The entry count a record declares (0 when negative).
std::size_t ACL_DeclaredCount(std::string_view record);

// ---- Directory packages: a context opened for one call, then closed.

// 3 for a site administrator (asked in the context "@"); else
// MDSAP_UserInfoGet in the user's context.
int MDS_PkgUserInfoGet(const char* user_id, UINFO& info);
int MDS_PkgIsSiteAdmin(const char* user_id);
int MDS_PkgUserPassUpdate(const char* user_id, const char* password, int is_hash, int no_password);
int MDS_PkgUserCreate(const char* group, const char* user_id, const char* password, int level,
                      int is_hash, int no_password, const UINFO& info);
// Whether the user belongs to the group whose mailing account is `account`
// (or to a group above it); a multi-domain site asks the system-wide
// directory too.
int MDS_PkgIsListMember(const char* account, const char* user_id);
