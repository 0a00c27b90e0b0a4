// What a user may do in a cabinet: permission bits on a file or folder.
//
// Owners may do everything in their own cabinet. In another user's cabinet
// ("*owner") the owner's grants (".useracl") on the file's folder decide, a
// grant on a folder above covering it when it is inherited. In a public
// cabinet the administrators (privilege "A10" of the site or the domain) may
// do everything, and otherwise the nearest record of the cabinet's ".acl" on
// the path decides. Everything that fails denies.
#pragma once

#include <string>
#include <string_view>

#include "common/acl/acl_object.h"

inline constexpr int DC_PERM_MANAGE = 8;
inline constexpr int DC_PERM_READ = 4;
inline constexpr int DC_PERM_WRITE = 2;
inline constexpr int DC_PERM_ALL = DC_PERM_MANAGE | DC_PERM_READ | DC_PERM_WRITE;

// The user's bits on `name` in folder `dir` of cabinet `base` (an empty name:
// the folder itself). With must_exist 1 the file must exist. 0 for a base
// that names no cabinet, a dir or name holding "..", a path that does not
// normalise, a reserved name, or a file inside a link folder.
int DC_Permission(std::string_view user_id, std::string_view base, std::string_view dir,
                  std::string_view name, int must_exist);

// The ".acl" that holds the record of a path: in the folder, or in its parent
// for a folder itself (no name) other than the root.
std::string DC_AclPath(std::string_view base, std::string_view dir, std::string_view name);

// The nearest record of `path` or of a folder above it in the ".acl" at the
// public cabinet's root, at most 21 lookups: 0 with the record, -1 when none.
int DC_AclFind(std::string_view base, std::string_view path, ACL_Object& object);

// The permission that applies to new entries made inside `dir`: that of a
// folder name that cannot exist, so only inherited grants and the folder's
// own records decide.
int DC_NewItemPermission(std::string_view user_id, std::string_view base, std::string_view dir);

// The cabinet bits of a grant's bits (0x010 read 4, 0x100 write 2, 0x001
// manage 8).
int DC_GrantBits(int grant_bits);
