#include "host/request_body.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Bodies from this size on get their own mapping: the kernel hands out
// zeroed pages on demand (huge ones where it can), so nothing is cleared twice.
constexpr std::size_t kMapFrom = 1 << 20;

}  // namespace

RequestBody::~RequestBody() { Release(); }

RequestBody::RequestBody(RequestBody&& other) noexcept { *this = std::move(other); }

RequestBody& RequestBody::operator=(RequestBody&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    file_ = std::exchange(other.file_, -1);
    file_offset_ = std::exchange(other.file_offset_, 0);
  }
  return *this;
}

RequestBody& RequestBody::operator=(std::string_view text) {
  if (Allocate(text.size()) && !text.empty()) std::memcpy(data_, text.data(), text.size());
  return *this;
}

void RequestBody::Release() {
  if (mapped_) {
    munmap(data_, mapped_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
  file_ = -1;
  file_offset_ = 0;
}

void RequestBody::clear() { Release(); }

bool RequestBody::Allocate(std::size_t length) {
  Release();
  if (length >= kMapFrom) {
    void* p = mmap(nullptr, length + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    madvise(p, length + 1, MADV_HUGEPAGE);
    data_ = static_cast<char*>(p);
    mapped_ = length + 1;
  } else {
    data_ = new (std::nothrow) char[length + 1];
    if (!data_) return false;
  }
  size_ = length;
  data_[length] = '\0';
  return true;
}

bool RequestBody::MapFile(int fd, std::size_t length) {
  struct stat st;
  off_t offset = lseek(fd, 0, SEEK_CUR);
  long page = sysconf(_SC_PAGESIZE);
  if (length == 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || offset < 0 ||
      page <= 0 || offset % page != 0 || st.st_size - offset < static_cast<off_t>(length)) {
    return false;
  }
  // The NUL after the body goes into the file's next byte or, past the end of
  // the file, into the rest of its last page; a body that ends exactly at a
  // page boundary and at the end of the file leaves no room: it is read.
  std::size_t end = static_cast<std::size_t>(offset) + length;
  if (static_cast<std::size_t>(st.st_size) == end && end % static_cast<std::size_t>(page) == 0) {
    return false;
  }
  // Pages are taken from the page cache as they are read; only the few the
  // parser writes a NUL into are copied.
  void* p = mmap(nullptr, length + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, offset);
  if (p == MAP_FAILED) return false;
  Release();
  data_ = static_cast<char*>(p);
  mapped_ = length + 1;
  size_ = length;
  data_[length] = '\0';  // a private page: the file is not changed
  lseek(fd, static_cast<off_t>(length), SEEK_CUR);
  file_ = fd;
  file_offset_ = offset;
  return true;
}

int RequestBody::WriteTo(int out, const char* from, std::size_t length) const {
  // Bytes of a mapped file that the parser left alone (a part's data) are
  // copied file to file; the parser's NULs lie outside every part's data.
  bool inside = file_ >= 0 && from >= data_ && length <= size_ &&
                static_cast<std::size_t>(from - data_) <= size_ - length;
  while (inside && length > 0) {
    off64_t in_off = file_offset_ + (from - data_);
    ssize_t n = copy_file_range(file_, &in_off, out, nullptr, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // not supported here: write what is left
    from += n;
    length -= static_cast<std::size_t>(n);
  }
  while (length > 0) {
    ssize_t n = write(out, from, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return -1;
    }
    from += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

void RequestBody::Truncate(std::size_t length) {
  if (length < size_) {
    size_ = length;
    data_[length] = '\0';
  }
}
