// The entries of a cabinet folder: their description, listing and sorting,
// free names, the cabinet's quota and size limit, link folders, and storing,
// making and deleting entries.
//
// Answers: 0 done, -1 a file-system failure or an invalid path, -3 a name
// DC_CheckName refuses (or a folder that a link puts outside the cabinet),
// -50 the permission check lacks the bit needed, -7 an argument missing.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/acl/acl_object.h"

inline constexpr int kDcNoPermission = -50;
inline constexpr int kDcRefusedName = -3;

// Entry types: folders, then the file types of dc_type.conf (2 to 29).
inline constexpr int kDcTypeFolder = 0;
inline constexpr int kDcTypeLinkFolder = 1;

struct DC_EntryInfo {
  std::string name;
  int type = -1;
  std::int64_t size = 0;  // 0 for folders
  std::time_t mtime = 0;
  std::string description;        // the shown part, at most 63 bytes
  std::optional<ACL_Object> acl;  // the folder's ".acl" record of the entry
};

// Describes the file or folder at a path (links followed): size, time and
// type. -1 when it cannot be had, or a file has no known type (the type table
// <root>/etc/dc_type.conf is loaded on first use).
int DC_EntryStat(const std::string& path, DC_EntryInfo& info);

struct DC_Listing {
  std::string base;  // "/" for an empty base
  std::string dir;   // the normalised folder
  std::vector<DC_EntryInfo> entries;
};

// Lists a folder: its entries but the reserved names and the folder cache,
// each of a type in `type_mask` (bit 1 << type; -1 for all), with the shown
// part of its description and its ".acl" record. A symbolic link that
// resolves outside the cabinet is never listed. -1 when DC_CheckName refuses
// `dir`, the base names no cabinet or the folder cannot be opened.
int DC_List(std::string_view base, std::string_view dir, int type_mask, DC_Listing& listing);

// Keys of DC_ListSort.
inline constexpr int kDcSortName = 1;
inline constexpr int kDcSortSize = 2;
inline constexpr int kDcSortType = 3;
inline constexpr int kDcSortTime = 4;
// Folders first (plain before link folders, by name, or by time for key 4),
// then files by the key; direction 1 reverses every comparison.
void DC_ListSort(DC_Listing& listing, int key, int direction);

// A name free in the file-system folder `folder`: DC_FileName(name), or with
// numbered 1 "(1)name", "(2)name", ... nullopt when the name is taken and not
// numbered (or no free one is found).
std::optional<std::string> DC_UniqueName(const std::string& folder, std::string_view name,
                                         int numbered);

// "<base>\t<normalised dir>\t<name>", at most 2047 bytes: an entry as the
// host's resource store names it.
std::string DC_EntryRef(std::string_view base, std::string_view dir, std::string_view name);

// ---- Quota: the bytes a cabinet uses, in its ".quota" (decimal text).

inline constexpr int kDcQuotaSet = 1;
inline constexpr int kDcQuotaAdd = 2;
inline constexpr int kDcQuotaSubtract = 3;  // never below 0
inline constexpr int kDcQuotaRecount = 4;   // the sizes of every file below the root
inline constexpr int kDcQuotaUsed = 5;      // DC_QuotaCheck: the bytes used
inline constexpr int kDcQuotaRoom = 6;      // DC_QuotaCheck: 0 when `bytes` fit

// Changes the number under an exclusive lock (the file is made with mode
// 0660 when missing). 0, or -1.
int DC_QuotaUpdate(std::string_view base, int op, std::int64_t bytes);
// kDcQuotaUsed: the bytes used (0 without a file). kDcQuotaRoom: 0 when
// `bytes` fit (the site's public cabinet always; a domain's within its
// "dc.limit" in KiB, none meaning no limit; a user's within quota_check of
// the owner), -1 when not.
std::int64_t DC_QuotaCheck(std::string_view base, int op, std::int64_t bytes);
// The room left in a user's cabinet, KiB: the level's CabinetQuotaKB less
// what the cabinet uses.
std::int64_t quota_check(std::string_view user_id);

// ---- Link folders: a folder holding ".link" (the target base and path on
// two lines) stands for the target.

// Makes `name` in the folder (made when missing) a link to the target: 0; -1
// when it is a link already or cannot be made (or a text would break the file's lines); -3 for a
// refused name.
int DC_LinkCreate(std::string_view base, std::string_view dir, std::string_view name,
                  std::string_view target_base, std::string_view target_path);

struct DC_LinkTarget {
  std::string base;
  std::string path;
};
// Follows link folders from (base, path): 0 with where they end; -1 when a
// ".link" cannot be read or more than 16 are followed (a loop); -2 when one
// lacks a line; -7 for an empty argument.
int DC_LinkResolve(std::string_view base, std::string_view path, DC_LinkTarget& out);

// ---- Changing entries.

inline constexpr int kDcStoreReplace = 1;   // an existing file is replaced
inline constexpr int kDcStoreNumbered = 2;  // a taken name becomes "(1)name", ...
inline constexpr int kDcStoreDescribe = 4;  // set the description even when empty
inline constexpr int kDcStoreNoQuota = 8;   // no room check

struct DC_NewFile {
  std::string name;
  std::string description;
};

// Stores a new file in a cabinet folder: the room check, the name check, the
// file (mode 0660), its description and the quota. 0; 2 without room; 1 when
// the name is taken; -3 refused name; -1 failure (logged). `file.name` is
// set to the name used.
int DC_FileStore(std::string_view base, std::string_view dir, DC_NewFile& file,
                 std::string_view data, int flags);

// Makes one folder (mode 0755): 0, -3 refused name, -1 failure.
int DC_MakeDir(std::string_view base, std::string_view dir, std::string_view name);
// Makes every folder along `dir` (mode 0770), existing ones accepted.
int DC_MakeDirs(std::string_view base, std::string_view dir);

// Deletes a file or a folder tree for a user who holds the write bit (-50
// otherwise): the quota, the description line, the folder's ".acl" record
// and the owner's grants on it go with it.
int DC_Delete(std::string_view user_id, std::string_view base, std::string_view dir,
              std::string_view name);
