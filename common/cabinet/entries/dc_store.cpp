// Storing, making and deleting cabinet entries.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/acl/useracl/useracl.h"
#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/entries/dc_finfo.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/permission/dc_permission.h"
#include "host/account/session.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"
#include "host/files/log.h"
#include "host/site/domain.h"

namespace {

constexpr int kMaxDepth = 64;

std::string Join(std::string folder, std::string_view name) {
  if (!folder.ends_with('/')) folder += '/';
  folder.append(name);
  return folder;
}

// The folder a (dir, name) pair names and the name's last component, as the
// permission check sees them; false when they do not normalise or the folder
// lies outside the cabinet.
bool Place(std::string_view base, std::string_view dir, std::string_view name, std::string& folder,
           std::string& file) {
  std::optional<std::string> norm = DC_PathNormalize(dir, name);
  std::optional<std::string> last = DC_FileName(name);
  if (!norm || !last) return false;
  folder = DC_BaseDir(base, *norm);
  file = *last;
  if (folder.empty()) return false;
  // An existing folder is taken where it really lies, which must be inside
  // the cabinet; in a missing one the change itself fails.
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return true;
  folder = real;
  std::free(real);
  std::optional<std::string> root = DC_RealRoot(base);
  return root && DC_InsideRoot(*root, folder);
}

// Removes a tree without following links; the bytes of the files removed
// are added to `bytes`.
bool RemoveTree(const std::string& path, std::int64_t& bytes, int depth) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    if (S_ISREG(st.st_mode)) bytes += st.st_size;
    return unlink(path.c_str()) == 0;
  }
  if (depth > kMaxDepth) return false;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
    if (!d) return false;
    while (dirent* e = readdir(d.get())) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      if (!RemoveTree(path + "/" + std::string(name), bytes, depth + 1)) return false;
    }
  }
  return rmdir(path.c_str()) == 0;
}

}  // namespace

int DC_FileStore(std::string_view base, std::string_view dir, DC_NewFile& file,
                 std::string_view data, int flags) {
  const auto length = static_cast<std::int64_t>(data.size());
  if (!(flags & kDcStoreNoQuota) && DC_QuotaCheck(base, kDcQuotaRoom, length) != 0) {
    LOG_FileLine(ErrorLogPath(), "DC_FileStore: quota fail (base=%.*s,file=%s)",
                 static_cast<int>(base.size()), base.data(), file.name.c_str());
    return 2;
  }
  std::string folder;
  std::string name;
  if (DC_CheckName(base, dir, file.name) != 0 || !Place(base, dir, file.name, folder, name) ||
      DC_ReservedName(name) != 0) {
    return kDcRefusedName;
  }
  if (flags & kDcStoreNumbered) {
    std::optional<std::string> free = DC_UniqueName(folder, name, 1);
    if (!free) return -1;
    name = *free;
  }
  int mode = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  if (!(flags & kDcStoreReplace)) mode |= O_EXCL;
  std::string path = Join(folder, name);
  UniqueFd fd(open(path.c_str(), mode, 0660));
  // The bytes of a file replaced leave the quota as the new ones join it.
  std::int64_t replaced = 0;
  struct stat st;
  if (fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) replaced = st.st_size;
  if (!fd.ok() || (replaced > 0 && ftruncate(fd.get(), 0) != 0)) {
    int error = errno;
    LOG_FileLine(ErrorLogPath(), "DC_FileStore: %s (base=%.*s,path=%.*s,file=%s)",
                 std::strerror(error), static_cast<int>(base.size()), base.data(),
                 static_cast<int>(dir.size()), dir.data(), name.c_str());
    return error == EEXIST ? 1 : -1;
  }
  if (!WriteAll(fd.get(), data.data(), data.size()) || close(fd.release()) != 0) {
    LOG_FileLine(ErrorLogPath(), "DC_FileStore: %s (base=%.*s,path=%.*s,file=%s)",
                 std::strerror(errno), static_cast<int>(base.size()), base.data(),
                 static_cast<int>(dir.size()), dir.data(), name.c_str());
    unlink(path.c_str());
    if (replaced > 0) DC_QuotaUpdate(base, kDcQuotaSubtract, replaced);
    return -1;
  }
  file.name = name;
  if (!file.description.empty() || (flags & kDcStoreDescribe)) {
    DC_DescSet(Join(folder, ".finfo"), name, file.description);
  }
  DC_QuotaUpdate(base, kDcQuotaAdd, length - replaced);
  return 0;
}

int DC_MakeDir(std::string_view base, std::string_view dir, std::string_view name) {
  std::string folder;
  std::string last;
  if (DC_CheckName(base, dir, name) != 0 || !Place(base, dir, name, folder, last)) {
    return kDcRefusedName;
  }
  return mkdir(Join(folder, last).c_str(), 0755) == 0 ? 0 : -1;
}

int DC_MakeDirs(std::string_view base, std::string_view dir) {
  std::optional<std::string> norm = DC_PathNormalize(dir);
  if (!norm || DC_BaseKindOf(base) == DC_BaseKind::kNone) return kDcRefusedName;
  std::string partial;
  std::size_t at = 1;
  while (at < norm->size()) {
    std::size_t end = norm->find('/', at);
    if (end == std::string::npos) end = norm->size();
    partial = norm->substr(0, end);
    std::string path = DC_BaseDir(base, partial);
    if (mkdir(path.c_str(), 0770) != 0 && errno != EEXIST) return -1;
    at = end + 1;
  }
  return 0;
}

int DC_Delete(std::string_view user_id, std::string_view base, std::string_view dir,
              std::string_view name) {
  if (user_id.empty() || base.empty() || name.empty()) return kDcMissingArgument;
  if (!(DC_Permission(user_id, base, dir, name, 1) & DC_PERM_WRITE)) return kDcNoPermission;
  std::string folder;
  std::string last;
  if (!Place(base, dir, name, folder, last)) return kDcRefusedName;
  std::int64_t bytes = 0;
  if (!RemoveTree(Join(folder, last), bytes, 0)) return -1;
  DC_QuotaUpdate(base, kDcQuotaSubtract, bytes);
  DC_DescRemove(Join(folder, ".finfo"), last);
  if (std::string acl = Join(folder, ".acl"); access(acl.c_str(), F_OK) == 0) {
    ACL_ObjectDel(acl, last);
  }
  if (DC_BaseKindOf(base) == DC_BaseKind::kShared || DC_BaseKindOf(base) == DC_BaseKind::kOwn) {
    std::string owner = MUSER_IDNormalize(DC_BaseUser(base), session().domain);
    std::string resource = DC_PathJoin(DC_PathNormalize(dir, name).value_or("/"), last, 2048);
    MACL_BatchRsrcDel(owner, resource, 1);
  }
  return 0;
}
