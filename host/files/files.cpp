#include "host/files/files.h"
#include "host/base/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

namespace {

bool ReadAll(int fd, std::string& data) {
  data.clear();
  // A regular file is read straight into a string of its size; anything else
  // (or a file that grows meanwhile) in pieces after that.
  struct stat st;
  std::size_t have = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.resize(static_cast<std::size_t>(st.st_size));
  }
  while (true) {
    if (have == data.size()) {
      // Full: find out whether more follows before growing.
      char probe[512];
      ssize_t n = read(fd, probe, sizeof probe);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) return true;
      data.resize(have + static_cast<std::size_t>(n) < 4096 ? 4096 : 2 * have);
      std::memcpy(data.data() + have, probe, static_cast<std::size_t>(n));
      have += static_cast<std::size_t>(n);
      continue;
    }
    ssize_t n = read(fd, data.data() + have, data.size() - have);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
    } else if (n == 0) {
      data.resize(have);
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::string& out) {
  out.assign(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAt(int fd, std::uint64_t offset, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n =
        pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t MFILE_Read(const std::string& path, std::string& data) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || !ReadAll(fd.get(), data)) {
    data.clear();
    return -1;
  }
  return static_cast<std::int64_t>(data.size());
}

int MFILE_Lock(int fd, int op) {
  int how = op == kLockShared ? LOCK_SH : op == kLockExclusive ? LOCK_EX : LOCK_UN;
  while (flock(fd, how) != 0) {
    if (errno != EINTR) return -1;
  }
  return 0;
}

int MFILE_LockRW(const std::string& path, std::string& data, int flag) {
  int flags = (flag == 1 ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
  UniqueFd fd(open(path.c_str(), flags, 0600));
  if (fd.get() < 0) return -1;
  if (MFILE_Lock(fd.get(), flag == 1 ? kLockExclusive : kLockShared) != 0) return -2;
  if (!ReadAll(fd.get(), data)) return -3;
  return fd.release();
}

int MFILE_Copy(const std::string& source, const std::string& target, int /*flags*/, mode_t mode) {
  std::string data;
  if (MFILE_Read(source, data) < 0) return -1;
  return WriteFileAtomic(target, data, mode);
}

std::string MFILE_StampName() {
  static unsigned counter = 0;
  return std::to_string(static_cast<long long>(std::time(nullptr))) + "." +
         std::to_string(static_cast<long long>(getpid())) + "." + std::to_string(counter++);
}

int WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode) {
  std::string tmp = path;
  tmp += kTempNameInfix;
  tmp += MFILE_StampName();
  UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) return -1;
  bool ok = WriteAll(fd.get(), data.data(), data.size());
  ok = close(fd.release()) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

std::string_view TempNameTarget(std::string_view name) {
  std::size_t at = name.rfind(kTempNameInfix);
  if (at == std::string_view::npos || at == 0) return {};
  std::string_view tail = name.substr(at + kTempNameInfix.size());
  if (tail.empty() || tail.front() < '0' || tail.front() > '9') return {};
  for (char c : tail) {
    if ((c < '0' || c > '9') && c != '.') return {};
  }
  return name.substr(0, at);
}

std::int64_t MSHM_FileRead(const std::string& path, const std::string*& data, int /*flags*/) {
  static std::map<std::string, std::string> cache;
  auto it = cache.find(path);
  if (it == cache.end()) {
    std::string text;
    if (MFILE_Read(path, text) < 0) {
      data = nullptr;
      return -1;
    }
    it = cache.emplace(path, std::move(text)).first;
  }
  data = &it->second;
  return static_cast<std::int64_t>(it->second.size());
}
