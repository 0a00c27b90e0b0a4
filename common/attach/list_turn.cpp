#include "common/attach/list_turn.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/files/log.h"

AttachListTurn::AttachListTurn(const std::string& list_path) : lock_path_(list_path + ".lock") {
  for (;;) {
    UniqueFd fd(open(lock_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) {
      LOG_FileLine(ErrorLogPath(), "AttachListTurn: open %s: %s", lock_path_.c_str(),
                   std::strerror(errno));
      return;
    }
    int locked;
    do {
      locked = flock(fd.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      LOG_FileLine(ErrorLogPath(), "AttachListTurn: flock %s: %s", lock_path_.c_str(),
                   std::strerror(errno));
      return;
    }
    struct stat held, named;
    if (fstat(fd.get(), &held) == 0 && stat(lock_path_.c_str(), &named) == 0 &&
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
  unlink(lock_path_.c_str());
  fd_ = UniqueFd();
}
