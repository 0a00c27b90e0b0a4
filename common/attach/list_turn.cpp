#include "common/attach/list_turn.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/attach/window_names.h"
#include "host/files/log.h"

namespace {

std::string LockName(const std::string& list) {
  return list + std::string(window_names::kLockSuffix);
}

}  // namespace

AttachListTurn::AttachListTurn(const std::string& list_path)
    : AttachListTurn(AT_FDCWD, list_path, Wait::kYes) {}

AttachListTurn::AttachListTurn(int dir_fd, const std::string& list_name, Wait wait)
    : dir_fd_(dir_fd), lock_path_(LockName(list_name)) {
  const int how = wait == Wait::kYes ? LOCK_EX : LOCK_EX | LOCK_NB;
  for (;;) {
    UniqueFd fd(
        openat(dir_fd_, lock_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) {
      LOG_FileLine(ErrorLogPath(), "AttachListTurn: open %s: %s", lock_path_.c_str(),
                   std::strerror(errno));
      return;
    }
    int locked;
    do {
      locked = flock(fd.get(), how);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK) {
      busy_ = true;
      return;
    }
    if (locked != 0) {
      LOG_FileLine(ErrorLogPath(), "AttachListTurn: flock %s: %s", lock_path_.c_str(),
                   std::strerror(errno));
      return;
    }
    struct stat held, named;
    if (fstat(fd.get(), &held) == 0 &&
        fstatat(dir_fd_, lock_path_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = std::move(fd);
      return;
    }
  }
}

AttachListTurn::~AttachListTurn() {
  Release();
}

void AttachListTurn::Release() {
  if (!fd_.ok()) return;
  unlinkat(dir_fd_, lock_path_.c_str(), 0);
  fd_ = UniqueFd();
}

bool AttachListTurnHeld(int dir_fd, const std::string& list_name) {
  UniqueFd fd(openat(dir_fd, LockName(list_name).c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return false;
  // A shared lock is refused only while a holder has its exclusive one; it
  // goes with the descriptor.
  int locked;
  do {
    locked = flock(fd.get(), LOCK_SH | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked != 0 && errno == EWOULDBLOCK;
}
