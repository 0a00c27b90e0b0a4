// The bytes of a request body, read once and never copied: a private mapping
// when standard input is a regular file, else memory that is filled by read()
// without being cleared first. The bytes are writable (the multipart parser
// ends each part's data with a NUL) and stay where they are when the body is
// moved.
#pragma once

#include <cstddef>
#include <string_view>

class RequestBody {
 public:
  RequestBody() = default;
  ~RequestBody();
  RequestBody(const RequestBody&) = delete;
  RequestBody& operator=(const RequestBody&) = delete;
  RequestBody(RequestBody&& other) noexcept;
  RequestBody& operator=(RequestBody&& other) noexcept;

  // A copy of `text` (tests, fuzzing).
  RequestBody& operator=(std::string_view text);
  void assign(std::string_view text) { *this = text; }

  // Room for `length` bytes (and a NUL after them), contents undefined.
  bool Allocate(std::size_t length);
  // Maps `length` bytes of the regular file `fd` from its current offset;
  // false when that cannot be done (the caller then reads).
  bool MapFile(int fd, std::size_t length);
  // Forgets the bytes after `length` (a short read).
  void Truncate(std::size_t length);
  void clear();

  char* data() { return data_ ? data_ : empty_; }
  const char* data() const { return data_ ? data_ : empty_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char& operator[](std::size_t i) { return data()[i]; }
  std::string_view view() const { return {data(), size_}; }
  operator std::string_view() const { return view(); }
  bool operator==(std::string_view text) const { return view() == text; }

  // Writes `length` bytes of this body starting at `from` to `out`: copied
  // inside the kernel from the mapped file when the body is one, else written.
  // 0 when all were written, -1 with errno set otherwise.
  int WriteTo(int out, const char* from, std::size_t length) const;

 private:
  void Release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // length of the mapping, 0 for none
  int file_ = -1;           // the mapped file's descriptor, -1 for none
  long long file_offset_ = 0;
  char empty_[1] = {'\0'};
};
