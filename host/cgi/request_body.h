// The bytes of a request body as the parts need them: one block of memory,
// sized once for the whole body and filled by read() without being cleared
// first, and spool files holding the data of large uploaded files, each mapped
// where its part's data pointer points. The memory is writable (the multipart
// parser ends each part's data with a NUL) and nothing moves when the body is
// moved.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

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

  // Room for `length` bytes and a NUL after them, contents undefined; size()
  // is `length`.
  bool Allocate(std::size_t length);
  // Room for `capacity` bytes and a NUL, contents undefined; size() is 0 until
  // Resize() says how many bytes are filled.
  bool Reserve(std::size_t capacity);
  // Makes the first `length` bytes (at most the capacity) the body, followed
  // by a NUL.
  void Resize(std::size_t length);
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

  // Takes over `fd`, a file holding `length` (> 0) bytes of one part's data,
  // and maps it privately with a NUL after the last byte. Answers where the
  // data lies, or null (fd closed) when it cannot be mapped.
  const char* AddSpool(int fd, std::size_t length);
  std::size_t spool_count() const { return spools_.size(); }

  // Whether [from, from + length) lies in this body's memory or in one spool.
  bool Holds(const char* from, std::size_t length) const;

  // Writes `length` bytes of this body starting at `from` to `out`: copied
  // inside the kernel when they are a spool's, else written. 0 when all were
  // written, -1 with errno set otherwise.
  int WriteTo(int out, const char* from, std::size_t length) const;

  // Gives the spool that holds exactly [from, from + length) the name `path`,
  // once: true when the file now stands at `path`. False (nothing changed)
  // when the bytes are not a whole spool, the spool was named before, or the
  // name cannot be made (something stands at `path`, another file system);
  // the caller then writes a copy.
  bool LinkAs(const char* path, const char* from, std::size_t length) const;

 private:
  struct Spool {
    int fd = -1;
    char* data = nullptr;
    std::size_t length = 0;
    std::size_t mapped = 0;
    mutable bool linked = false;
  };

  void Release();
  const Spool* SpoolHolding(const char* from, std::size_t length) const;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // data_ is an anonymous mapping of capacity_ + 1 bytes
  std::vector<Spool> spools_;
  char empty_[1] = {'\0'};
};
