// The built-in group store: groups as a tree of folders.
//
// A group is named by callers with a name path ("/Sales/East", "/" the root,
// optionally "@domain" for a domain's tree) and inside the store by a number
// path ("/1/3@domain"): each group below the root has a number unique among
// its siblings, written in lower-case hex. The group /1/3 lives in
// <root>/public/grp/1/3 (a domain's tree, in a multi-domain site, below
// <root>/domains/<domain>/grp). Its folder holds:
//   Group.list   one line per direct sub-group (LGRP_Group, ten TAB-separated
//                fields "%x\t%s\t%s\t%s\t%s\t%s\t%s\t%d\t%d\t%d\n")
//   user.list    one member user id per line
//   admin.list   one administrator user id per line
// and each user's home holds "Group.list": one number path per line of every
// group the user is a member or administrator of, "+" in front when an
// administrator.
//
// Every change to one of these files rewrites it whole through a temporary
// file and a rename, under an exclusive lock on the file held from reading to
// renaming: readers see the old or the new file, and changes of concurrent
// requests to one file take turns without losing one another. The files of a
// group and the users' lists are not changed together atomically.
//
// Errors are logged to <root>/log/libquenbylgrp_err.log. Ids are byte
// strings; a search for "@" or "/" in them takes a byte above 0x80 as the
// first byte of a two-byte character.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Results of the store.
inline constexpr int kLgrpOk = 0;
inline constexpr int kLgrpNoMemory = 1;
inline constexpr int kLgrpFileError = 2;
inline constexpr int kLgrpExists = 3;
inline constexpr int kLgrpHasSubGroups = 4;
inline constexpr int kLgrpBadUser = 5;  // empty or malformed user id
inline constexpr int kLgrpBadId = -1;   // malformed id or other failure

// Field widths of a Group.list line (the longest text each holds).
inline constexpr std::size_t kLgrpIdMax = 2047;
inline constexpr std::size_t kLgrpNameMax = 255;
inline constexpr std::size_t kLgrpReservedMax = 3;
inline constexpr std::size_t kLgrpAccountMax = 127;
inline constexpr std::size_t kLgrpText5Max = 511;
inline constexpr std::size_t kLgrpText6Max = 15;
inline constexpr std::size_t kLgrpText7Max = 19;
inline constexpr std::size_t kLgrpLineMax = 1023;      // longer Group.list lines are skipped
inline constexpr std::size_t kLgrpUserIdMax = 127;     // longer member lines are skipped
inline constexpr std::size_t kLgrpFileMax = 64 << 20;  // larger list files are a file error

// One line of Group.list.
struct LGRP_Group {
  std::string id;        // number path: parent's path, "/", the number, the domain suffix
  std::string name;      // field 2, unique among siblings
  std::string reserved;  // field 3, carried unchanged
  std::string account;   // field 4, the group's mailing account
  std::string text5;     // field 5
  std::string text6;     // field 6 ("0" when the line ends after field 5)
  std::string text7;     // field 7
  int created = 0;       // field 8, seconds since the epoch
  int value9 = 0;        // field 9
  int level = 0;         // field 10; 0: the parent's level applies
};

// ---- Ids ----

// The first `c` in `s`, or npos; a byte above 0x80 and the byte after it are
// one character.
std::size_t MbStrChr(std::string_view s, char c);
// The last `c` in `s`, or npos, likewise.
std::size_t MbStrRChr(std::string_view s, char c);

// An id split at its first "@": the path and the domain ("" when none).
struct LgrpSplitId {
  std::string_view path;
  std::string_view domain;
  bool has_domain = false;
  std::string Suffix() const;  // "@domain", or "" without one
};
LgrpSplitId LgrpSplit(std::string_view id);

// A number path's parent (with the domain suffix) and last component. False
// for an empty id, the root, or an id without "/".
bool ParseGroup(std::string_view id, std::string& parent, std::string& last);

// The parent of a name or number path, "/" for a top-level group, with the
// domain suffix kept.
std::string LGRP_ParentID(std::string_view id);

// `id` with "@" and `domain` appended when it has no "@" and a domain is given.
std::string LGRP_QualifyID(std::string_view id, std::string_view domain);

// The last component of a number path as a number; 0 for the root.
unsigned LGRP_GroupNumber(std::string_view id);

// `parent` (a number path) extended by a sub-group's number.
std::string LgrpChildId(std::string_view parent, unsigned number);

// The folder of a number path, or nullopt when the id is malformed: not
// starting with "/", a component that is not 1 to 8 hex digits, a domain that
// is "." or ".." or holds "/", or longer than kLgrpIdMax.
std::optional<std::string> LGRP_GroupDir(std::string_view id);

// True for text that can stand in a Group.list field or list line: no TAB,
// CR, LF or other control byte.
bool LgrpPlainText(std::string_view text);

// 0 when `text` is a valid group name (single name) or name path, else 9
// (see the implementation for the rules).
inline constexpr int kLgrpBadName = 9;
int LGRP_CheckGroupName(const char* text, int charset, bool path);

// ---- Reading ----

// The sub-group records of a group's Group.list (lines of at least five
// fields). 0; 2 on a read error; -1 for a malformed id.
int LGRP_GetGroupFIDs(std::string_view group, std::vector<LGRP_Group>& out);

// The number path of a name path; -1 when malformed or not found.
int LGRP_ResolveGroupID(std::string_view name_path, std::string& number_path);

// The name path, without domain, of a number path; nullopt when a group on the
// way is not listed by its parent.
std::optional<std::string> LGRP_GroupPathName(std::string_view number_path);

// The record of a group from its parent's list; the root and unlisted groups
// give an empty record. 0 or -1.
int LGRP_GetGroupInfo(std::string_view group, LGRP_Group& out);
std::string LGRP_GetGroupName(std::string_view group);
int LGRP_GetGroupLevel(std::string_view group);

// Members and administrators. 0; 2 on a read error; -1 for a malformed id.
int LGRP_GetGroupUser(std::string_view group, std::vector<std::string>& out);
int LGRP_GetGroupAdm(std::string_view group, std::vector<std::string>& out);

int LGRP_IsInGroupList(std::string_view name, std::string_view group);
int LGRP_IsInThisGroup(std::string_view user, std::string_view group);
// 1 when the user administers the group or a group above it; 0; -1.
int LGRP_IsGroupAdm(std::string_view user, std::string_view group);

// The user's raw group list. 0; 5 for an empty or malformed id; 2.
int LGRP_ReadUserGroupList(std::string_view user, std::string& text);
// The entries ("+" kept) without empty lines and duplicates.
int LGRP_GetUserGroupList(std::string_view user, std::vector<std::string>& out);

// ---- Changes ----

int LGRP_WriteUserGroupList(std::string_view user, std::string_view text);
int LGRP_UserGroupListAdd(std::string_view user, std::string_view group, bool as_admin);
int LGRP_UserGroupListDel(std::string_view user, std::string_view group, bool admin_only);
int LGRP_UserGroupListUpdate(std::string_view user, std::string_view old_group,
                             std::string_view new_group);
int LGRP_RefreshUserGroupList(std::string_view new_group, std::string_view old_group);

// Creates a sub-group of `record.id` (the parent); `record.id` becomes the new
// group's number path. 3 when the parent has a sub-group of that name.
int LGRP_AddGroup(LGRP_Group& record);
int InsertGroupInList(const LGRP_Group& record);
int RemoveGroupInList(std::string_view group);
int LGRP_EditGroup(const LGRP_Group& record);
int LGRP_MoveGroup(std::string_view group, std::string_view new_parent);
int LGRP_RemoveGroupDir(std::string_view group);
int LGRP_DelGroup(std::string_view group);
int LGRP_DelGroupUserRecursive(std::string_view group);

int LGRP_AddGroupUser(std::string_view group, std::string_view user);
int LGRP_DelGroupUser(std::string_view group, std::string_view user);
int LGRP_AddGroupAdm(std::string_view group, std::string_view user);
int MDS_LGRP_GroupAdmDelete(std::string_view group, std::string_view user);

int LGRP_ModifyUserLevel(const char* group, int level);
