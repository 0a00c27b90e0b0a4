#include "host/cgi/request_body.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "host/files/files.h"

namespace {

// Bodies from this size on get their own mapping: the kernel hands out
// zeroed pages on demand, so pages the body never fills are never touched.
constexpr std::size_t kMapFrom = 1 << 20;

std::size_t PageSize() {
  static const std::size_t page = [] {
    long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
  }();
  return page;
}

std::size_t RoundUp(std::size_t n, std::size_t page) {
  return (n + page - 1) / page * page;
}

}  // namespace

RequestBody::~RequestBody() {
  Release();
}

RequestBody::RequestBody(RequestBody&& other) noexcept {
  *this = std::move(other);
}

RequestBody& RequestBody::operator=(RequestBody&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    spools_ = std::move(other.spools_);
    other.spools_.clear();
  }
  return *this;
}

RequestBody& RequestBody::operator=(std::string_view text) {
  if (Allocate(text.size()) && !text.empty()) std::memcpy(data_, text.data(), text.size());
  return *this;
}

void RequestBody::Release() {
  if (mapped_) {
    munmap(data_, capacity_ + 1);
  } else {
    delete[] data_;
  }
  for (const Spool& s : spools_) {
    munmap(s.data, s.mapped);
    close(s.fd);
  }
  spools_.clear();
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  mapped_ = false;
}

void RequestBody::clear() {
  Release();
}

bool RequestBody::Reserve(std::size_t capacity) {
  Release();
  if (capacity >= kMapFrom) {
    void* p =
        mmap(nullptr, capacity + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<char*>(p);
    mapped_ = true;
  } else {
    data_ = new (std::nothrow) char[capacity + 1];
    if (!data_) return false;
  }
  capacity_ = capacity;
  size_ = 0;
  data_[0] = '\0';
  return true;
}

bool RequestBody::Allocate(std::size_t length) {
  if (!Reserve(length)) return false;
  Resize(length);
  return true;
}

void RequestBody::Resize(std::size_t length) {
  if (!data_) return;
  size_ = length < capacity_ ? length : capacity_;
  data_[size_] = '\0';
}

void RequestBody::Truncate(std::size_t length) {
  if (length < size_) Resize(length);
}

const char* RequestBody::AddSpool(int fd, std::size_t length) {
  // The file's pages are mapped over a reservation one byte longer than the
  // data: the byte after the data is either past the end of the file in its
  // last page or in the reservation's own page, and reads as NUL in both.
  const std::size_t page = PageSize();
  Spool s;
  s.fd = fd;
  s.length = length;
  s.mapped = RoundUp(length + 1, page);
  void* room = MAP_FAILED;
  try {
    spools_.reserve(spools_.size() + 1);
    room = mmap(nullptr, s.mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } catch (const std::bad_alloc&) {
  }
  if (room == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  void* file = mmap(room, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0);
  if (file == MAP_FAILED) {
    munmap(room, s.mapped);
    close(fd);
    return nullptr;
  }
  s.data = static_cast<char*>(room);
  spools_.push_back(s);
  return s.data;
}

const RequestBody::Spool* RequestBody::SpoolHolding(const char* from, std::size_t length) const {
  for (const Spool& s : spools_) {
    if (from >= s.data && length <= s.length &&
        static_cast<std::size_t>(from - s.data) <= s.length - length) {
      return &s;
    }
  }
  return nullptr;
}

bool RequestBody::Holds(const char* from, std::size_t length) const {
  if (SpoolHolding(from, length)) return true;
  const char* base = data();
  return from >= base && length <= size_ && static_cast<std::size_t>(from - base) <= size_ - length;
}

int RequestBody::WriteTo(int out, const char* from, std::size_t length) const {
  const Spool* s = SpoolHolding(from, length);
  while (s && length > 0) {
    off64_t in_off = from - s->data;
    ssize_t n = copy_file_range(s->fd, &in_off, out, nullptr, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // not possible here: write what is left
    from += n;
    length -= static_cast<std::size_t>(n);
  }
  return WriteAll(out, from, length) ? 0 : -1;
}

bool RequestBody::LinkAs(const char* path, const char* from, std::size_t length) const {
  const Spool* s = SpoolHolding(from, length);
  if (!s || s->data != from || s->length != length || s->linked) return false;
  // An unnamed file gets its name through its /proc entry.
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", s->fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) != 0) return false;
  s->linked = true;
  return true;
}
