// The hashed store: files served by the web server's download program, in
// <root>/httpd/html/hashed_store/XX/YY/<name>. XX and YY are two lower-case
// hex digits from "00" to "3f" chosen from the name alone (the same name
// always lands in the same folder): of the FNV-1a 32-bit hash of the name's
// bytes, mixed with MurmurHash3's 32-bit finaliser, XX is the low 6 bits and
// YY the next 6. Folders are made on demand
// with mode 0700; nothing here follows a symbolic link below the store's
// root (the root itself may be a link an operator made).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/base/unique_fd.h"

// <root>/httpd/html/hashed_store
std::string HashedStoreRoot();

// "XX/YY" for a stored name.
std::string HashedStoreSubdir(std::string_view name);

// The folder for the first `n` bytes of `name` ("<store>/XX/YY", no "/" at
// the end), made on demand (the store's root too) with mode 0700. "" when it
// cannot be made, or when something other than a folder (a symbolic link
// above all) stands at XX or YY; the reason is in the error log. `flags` is
// unused; pass 0.
std::string filename2path_2level_64_64(std::string_view name, int flags, std::size_t n);

// A stored name may be used in the store: not empty, not "." or "..", no
// "/" and no NUL.
bool HashedStoreNameOk(std::string_view name);

// The path of a stored file below the store without the store's root and
// its "/" ("XX/YY/<name>"); "" when `path` does not lie below the store or
// has a "." or ".." component.
std::string HashedStoreReference(std::string_view path);

// Deletes the file at `path` when it lies below the store: no "." or ".."
// component, and no symbolic link on the way below the store's root (a link
// at the path itself is deleted, never its target). 0, or -1 (errno set;
// EPERM for a path outside the store).
int HashedStoreUnlink(std::string_view path);

// Opens the folder of the stored name `name` ("<store>/XX/YY"), never
// through a symbolic link below the store's root; not ok() (errno set) when
// it is missing, refused, or `name` may not be used.
UniqueFd HashedStoreFolder(std::string_view name);

// Opens the stored file `name` read-only in its folder, never through a
// symbolic link; a folder or any other non-regular file is refused. The
// descriptor, or one that is not ok() (errno set).
UniqueFd HashedStoreOpen(std::string_view name);
