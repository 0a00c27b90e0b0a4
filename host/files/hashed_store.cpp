#include "host/files/hashed_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/files/log.h"
#include "host/files/root.h"

namespace {

constexpr char kStore[] = "httpd/html/hashed_store";
constexpr mode_t kFolderMode = 0700;

// FNV-1a over the bytes, then MurmurHash3's finaliser, so that names that
// differ only in their last characters spread over all the folders.
std::uint32_t NameHash(std::string_view bytes) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 16777619u;
  }
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

// Makes `path` a folder when nothing stands there; true when a folder (not
// a link to one) stands there afterwards.
bool MakeFolder(const std::string& path, bool follow) {
  if (mkdir(path.c_str(), kFolderMode) != 0 && errno != EEXIST) {
    LOG_FileLine(ErrorLogPath(), "filename2path_2level_64_64: mkdir %s: %s", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  struct stat st;
  int got = follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
  if (got != 0 || !S_ISDIR(st.st_mode)) {
    LOG_FileLine(ErrorLogPath(), "filename2path_2level_64_64: %s is not a folder", path.c_str());
    return false;
  }
  return true;
}

// The components of `path` below the store's root; empty when it does not
// lie below it or has an empty, "." or ".." component.
std::vector<std::string_view> Below(std::string_view path) {
  const std::string root = HashedStoreRoot();
  if (path.size() <= root.size() + 1 || !path.starts_with(root) || path[root.size()] != '/') {
    return {};
  }
  std::vector<std::string_view> parts;
  std::string_view rest = path.substr(root.size() + 1);
  while (true) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return {};
    parts.push_back(part);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return parts;
}

// Opens the folder of parts[0 .. count) below the store's root, never
// through a link below the root.
UniqueFd OpenFolder(const std::vector<std::string_view>& parts, std::size_t count) {
  UniqueFd dir(open(HashedStoreRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t i = 0; i < count && dir.ok(); ++i) {
    std::string part(parts[i]);
    dir =
        UniqueFd(openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return dir;
}

}  // namespace

std::string HashedStoreRoot() {
  return host::RootPath(kStore);
}

std::string HashedStoreSubdir(std::string_view name) {
  std::uint32_t h = NameHash(name);
  char sub[8];
  std::snprintf(sub, sizeof sub, "%02x/%02x", static_cast<unsigned>(h & 0x3f),
                static_cast<unsigned>((h >> 6) & 0x3f));
  return sub;
}

std::string filename2path_2level_64_64(std::string_view name, int /*flags*/, std::size_t n) {
  std::string_view used = name.substr(0, std::min(n, name.size()));
  std::string folder = HashedStoreRoot();
  if (!MakeFolder(folder, true)) return {};
  std::string sub = HashedStoreSubdir(used);
  folder += '/';
  folder.append(sub, 0, 2);
  if (!MakeFolder(folder, false)) return {};
  folder += '/';
  folder.append(sub, 3, 2);
  if (!MakeFolder(folder, false)) return {};
  return folder;
}

bool HashedStoreNameOk(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string HashedStoreReference(std::string_view path) {
  if (Below(path).empty()) return {};
  return std::string(path.substr(HashedStoreRoot().size() + 1));
}

int HashedStoreUnlink(std::string_view path) {
  std::vector<std::string_view> parts = Below(path);
  if (parts.empty()) {
    errno = EPERM;
    return -1;
  }
  UniqueFd dir = OpenFolder(parts, parts.size() - 1);
  if (!dir.ok()) return -1;
  return unlinkat(dir.get(), std::string(parts.back()).c_str(), 0);
}

UniqueFd HashedStoreFolder(std::string_view name) {
  if (!HashedStoreNameOk(name)) {
    errno = ENOENT;
    return UniqueFd();
  }
  std::string sub = HashedStoreSubdir(name);
  std::vector<std::string_view> parts = {std::string_view(sub).substr(0, 2),
                                         std::string_view(sub).substr(3, 2)};
  return OpenFolder(parts, parts.size());
}

UniqueFd HashedStoreOpen(std::string_view name) {
  UniqueFd dir = HashedStoreFolder(name);
  if (!dir.ok()) return dir;
  UniqueFd fd(
      openat(dir.get(), std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.ok() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    errno = EISDIR;
    return UniqueFd();
  }
  return fd;
}
