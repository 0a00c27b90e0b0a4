#include "host/files/locked_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "host/base/unique_fd.h"
#include "host/files/files.h"

namespace {

constexpr int kLockAttempts = 1000;  // files replaced under a waiting writer
constexpr int kTempAttempts = 100;   // temporary names already taken

// True when `fd` is still the file at `path` (not replaced while we waited).
bool StillLinked(int fd, const std::string& path) {
  struct stat held, now;
  if (fstat(fd, &held) != 0 || lstat(path.c_str(), &now) != 0) return false;
  return held.st_dev == now.st_dev && held.st_ino == now.st_ino && held.st_nlink > 0;
}

bool ReadFd(int fd, std::string& text) {
  text.clear();
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

RewriteResult Fail(RewriteStatus status, std::string path) {
  RewriteResult r;
  r.status = status;
  r.path = std::move(path);
  return r;
}

RewriteResult WriteInPlace(const std::string& path, const RewriteOptions& options,
                           const std::string& text) {
  std::string temp;
  UniqueFd out;
  for (int attempt = 0; attempt < kTempAttempts && !out.ok(); ++attempt) {
    temp = options.temp_name(attempt);
    out = UniqueFd(
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options.mode));
    if (!out.ok() && errno != EEXIST) break;
  }
  if (!out.ok()) return Fail(RewriteStatus::kTempFailed, temp);
  bool ok = WriteAll(out.get(), text.data(), text.size());
  ok = close(out.release()) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return Fail(RewriteStatus::kWriteFailed, path);
  }
  return {};
}

}  // namespace

RewriteResult LockedRewrite(const std::string& path, const RewriteOptions& options,
                            const std::function<bool(std::string& text)>& change) {
  bool create = options.create;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    // Opened without waiting: a FIFO at `path` is refused below, not read.
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    UniqueFd fd(open(path.c_str(), flags, options.mode));
    if (!fd.ok()) {
      if (errno != ENOENT || create) return Fail(RewriteStatus::kOpenFailed, path);
      std::string empty;
      if (!change(empty)) return {};
      create = true;
      continue;
    }
    if (MFILE_Lock(fd.get(), kLockExclusive) != 0) return Fail(RewriteStatus::kOpenFailed, path);
    if (!StillLinked(fd.get(), path)) continue;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > options.max_size) {
      return Fail(RewriteStatus::kOpenFailed, path);
    }
    std::string text;
    if (!ReadFd(fd.get(), text)) return Fail(RewriteStatus::kOpenFailed, path);
    if (!change(text)) return {};
    // The lock is held until the new file is in place: the next writer then
    // finds its descriptor unlinked and opens the new file.
    return WriteInPlace(path, options, text);
  }
  return Fail(RewriteStatus::kOpenFailed, path);
}

std::string StampedTempName(const std::string& folder, const char* prefix, int attempt) {
  std::string name = folder;
  name += '/';
  name += prefix;
  name += std::to_string(static_cast<long>(std::time(nullptr)));
  name += std::to_string(static_cast<int>(getpid()));
  if (attempt > 0) {
    name += '_';
    name += std::to_string(attempt);
  }
  return name;
}
