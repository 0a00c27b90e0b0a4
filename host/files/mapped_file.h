// A whole file mapped read-only into memory, for reading large files without
// copying them.
#pragma once

#include <cstddef>
#include <string>

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps a regular file; false with errno set when it cannot be opened or is
  // not a regular file. An empty file maps to size 0 (data() is "").
  // With follow_links false, a symbolic link at `path` is refused (ELOOP).
  bool Open(const std::string& path, bool follow_links = true);
  // The same for a file already open; the descriptor stays the caller's.
  bool Map(int fd);

  const char* data() const { return data_ ? data_ : ""; }
  std::size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};
