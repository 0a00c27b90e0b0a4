// The bytes a cabinet uses (".quota") and the room it has.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>

#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/account/account.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"
#include "host/site/site.h"

namespace {

constexpr int kMaxDepth = 64;

std::int64_t Number(std::string_view text) {
  std::string digits(text);
  char* end = nullptr;
  long long value = std::strtoll(digits.c_str(), &end, 10);
  return end == digits.c_str() || value < 0 ? 0 : value;
}

// The sizes of the regular files below a folder, links not followed, the
// cabinet's own files left out.
std::int64_t Recount(const std::string& folder, int depth) {
  if (depth > kMaxDepth) return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(folder.c_str()), closedir);
  if (!d) return 0;
  std::int64_t total = 0;
  while (dirent* e = readdir(d.get())) {
    std::string_view name = e->d_name;
    if (name == "." || name == ".." || name == ".acl" || name == ".finfo" || name == ".quota") {
      continue;
    }
    std::string path = folder + "/" + std::string(name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      total += Recount(path, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      total += st.st_size;
    }
  }
  return total;
}

bool Lock(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int DC_QuotaUpdate(std::string_view base, int op, std::int64_t bytes) {
  if (op < kDcQuotaSet || op > kDcQuotaRecount) return -1;
  std::string path = DC_QuotaPath(base);
  if (path.empty()) return -1;
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660));
  if (!fd.ok() || !Lock(fd.get())) return -1;
  std::string text;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 ||
      !ReadAt(fd.get(), 0, static_cast<std::size_t>(st.st_size), text)) {
    return -1;
  }
  std::int64_t used = Number(text);
  switch (op) {
    case kDcQuotaSet:
      used = bytes;
      break;
    case kDcQuotaAdd:
      // A count at the top of the range stays there.
      used = bytes > std::numeric_limits<std::int64_t>::max() - used
                 ? std::numeric_limits<std::int64_t>::max()
                 : used + bytes;
      break;
    case kDcQuotaSubtract:
      used = used > bytes ? used - bytes : 0;
      break;
    default:
      used = Recount(DC_Dir(base, ""), 0);
  }
  if (used < 0) used = 0;
  std::string out = std::to_string(used);
  if (!WriteAt(fd.get(), 0, out) || ftruncate(fd.get(), static_cast<off_t>(out.size())) != 0) {
    return -1;
  }
  return 0;
}

std::int64_t DC_QuotaCheck(std::string_view base, int op, std::int64_t bytes) {
  if (op == kDcQuotaUsed) {
    std::string text;
    std::string path = DC_QuotaPath(base);
    return path.empty() || MFILE_Read(path, text) < 0 ? 0 : Number(text);
  }
  if (op != kDcQuotaRoom) return -1;
  switch (DC_BaseKindOf(base)) {
    case DC_BaseKind::kSite:
      return 0;
    case DC_BaseKind::kDomain: {
      std::string limit;
      if (MFILE_Read(DC_LimitPath(base), limit) < 0) return 0;  // no limit set
      std::int64_t room = Number(limit) - DC_QuotaCheck(base, kDcQuotaUsed, 0) / 1024;
      return room >= bytes / 1024 ? 0 : -1;
    }
    case DC_BaseKind::kShared:
    case DC_BaseKind::kOwn:
      return quota_check(DC_BaseUser(base)) >= bytes / 1024 ? 0 : -1;
    case DC_BaseKind::kNone:
      break;
  }
  return -1;
}

std::int64_t quota_check(std::string_view user_id) {
  std::int64_t quota = GINI_Level(ReadUserLevel(user_id)).cabinet_quota_kb;
  return quota - DC_QuotaCheck(user_id, kDcQuotaUsed, 0) / 1024;
}
