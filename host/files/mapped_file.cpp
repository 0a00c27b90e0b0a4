#include "host/files/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

MappedFile::~MappedFile() {
  if (data_) munmap(data_, size_);
}

bool MappedFile::Open(const std::string& path, bool follow_links) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW));
  if (fd < 0) return false;
  bool ok = Map(fd);
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

bool MappedFile::Map(int fd) {
  if (data_) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    ok = false;
  }
  if (ok && st.st_size > 0) {
    void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                   MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (p == MAP_FAILED) {
      ok = false;
    } else {
      data_ = static_cast<char*>(p);
      size_ = static_cast<std::size_t>(st.st_size);
    }
  }
  return ok;
}
