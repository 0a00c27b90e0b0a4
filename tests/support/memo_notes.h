// Memo note index entries written byte by byte as the layout gives them, for
// tests that need indexes the store's own writers would never make.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace testing_support {

// One 512-byte entry; `key` (8 bytes) and `title` (448 bytes) may fill their
// fields without a NUL. Byte 465 and the trailing bytes hold a pattern.
inline std::string RawNoteEntry(std::string_view key, std::string_view title,
                                std::uint32_t mtime = 0, std::uint32_t length = 0,
                                char dated = 0, char charset = 0) {
  std::string e(512, '\0');
  e.replace(0, key.size(), key);
  e.replace(8, title.size(), title);
  for (int i = 0; i < 4; ++i) {
    e[456 + i] = static_cast<char>(mtime >> (8 * i));
    e[460 + i] = static_cast<char>(length >> (8 * i));
  }
  e[464] = dated;
  e[465] = '\x5a';
  e[466] = charset;
  for (int i = 467; i < 512; ++i) e[i] = static_cast<char>(i);
  return e;
}

}  // namespace testing_support
