// Fixed binary layouts, read and written field by field: little-endian
// integers and NUL-padded text fields at given offsets of a byte span. Every
// read is bounded by the span, so a short or damaged record never reads past
// its end; a text field without NUL is its whole width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace acl_layout {

inline std::uint32_t U32(std::string_view bytes, std::size_t at) {
  if (at > bytes.size() || bytes.size() - at < 4) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t I32(std::string_view bytes, std::size_t at) {
  return static_cast<std::int32_t>(U32(bytes, at));
}

inline std::int16_t I16(std::string_view bytes, std::size_t at) {
  if (at > bytes.size() || bytes.size() - at < 2) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

inline std::uint8_t U8(std::string_view bytes, std::size_t at) {
  return at < bytes.size() ? static_cast<std::uint8_t>(bytes[at]) : 0;
}

// The text of a field of `width` bytes: up to its first NUL.
inline std::string_view Text(std::string_view bytes, std::size_t at, std::size_t width) {
  if (at >= bytes.size()) return {};
  std::string_view field = bytes.substr(at, width);
  std::size_t nul = field.find('\0');
  return nul == std::string_view::npos ? field : field.substr(0, nul);
}

inline void PutU32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

inline void PutI32(std::string& bytes, std::size_t at, std::int32_t v) {
  PutU32(bytes, at, static_cast<std::uint32_t>(v));
}

inline void PutI16(std::string& bytes, std::size_t at, std::int16_t v) {
  auto u = static_cast<std::uint16_t>(v);
  bytes[at] = static_cast<char>(u & 0xff);
  bytes[at + 1] = static_cast<char>(u >> 8);
}

inline void PutU8(std::string& bytes, std::size_t at, std::uint8_t v) {
  bytes[at] = static_cast<char>(v);
}

// Writes `text` into a field of `width` bytes, cut to width - 1 bytes and
// padded with NUL.
inline void PutText(std::string& bytes, std::size_t at, std::size_t width, std::string_view text) {
  std::string_view cut = text.substr(0, width - 1);
  std::memset(bytes.data() + at, 0, width);
  std::memcpy(bytes.data() + at, cut.data(), cut.size());
}

}  // namespace acl_layout
