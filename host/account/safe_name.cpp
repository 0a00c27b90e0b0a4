#include "host/account/safe_name.h"

#include <cstring>

namespace {

bool InRange(unsigned char c, unsigned lo, unsigned hi) {
  return c >= lo && c <= hi;
}

// The length of the character at the front of `s` (n bytes left, n > 0)
// under `scheme`; 0 for a byte that starts no valid character (a stray
// trail byte, a lead byte without its trail, a broken UTF-8 sequence).
std::size_t CharLength(const unsigned char* s, std::size_t n, int scheme) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  switch (scheme) {
    case kSchemeBig5:
      if (InRange(c, 0x81, 0xfe)) {
        return n >= 2 && (InRange(s[1], 0x40, 0x7e) || InRange(s[1], 0xa1, 0xfe)) ? 2 : 0;
      }
      return 0;
    case kSchemeShiftJis:
      if (InRange(c, 0xa1, 0xdf)) return 1;  // half-width katakana
      if (InRange(c, 0x81, 0x9f) || InRange(c, 0xe0, 0xfc)) {
        return n >= 2 && (InRange(s[1], 0x40, 0x7e) || InRange(s[1], 0x80, 0xfc)) ? 2 : 0;
      }
      return 0;
    case kSchemeEuc:
      if (c == 0x8e) return n >= 2 && InRange(s[1], 0xa1, 0xdf) ? 2 : 0;  // kana
      if (c == 0x8f) {                                                    // JIS X 0212
        return n >= 3 && InRange(s[1], 0xa1, 0xfe) && InRange(s[2], 0xa1, 0xfe) ? 3 : 0;
      }
      if (InRange(c, 0xa1, 0xfe)) return n >= 2 && InRange(s[1], 0xa1, 0xfe) ? 2 : 0;
      return 0;
    case kSchemeUtf8: {
      std::size_t len = InRange(c, 0xc2, 0xdf)   ? 2
                        : InRange(c, 0xe0, 0xef) ? 3
                        : InRange(c, 0xf0, 0xf4) ? 4
                                                 : 0;
      if (len == 0 || n < len) return 0;
      for (std::size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
      }
      // Overlong forms, surrogates and code points past U+10FFFF.
      if ((c == 0xe0 && s[1] < 0xa0) || (c == 0xed && s[1] > 0x9f) || (c == 0xf0 && s[1] < 0x90) ||
          (c == 0xf4 && s[1] > 0x8f)) {
        return 0;
      }
      return len;
    }
    default:
      return 1;
  }
}

bool Unsafe(unsigned char c) {
  return c < 0x20 || c == 0x7f || std::strchr("/\\:*?\"<>|", c) != nullptr;
}

}  // namespace

char* MLG_SafeFileName(const char* src, char* dst, std::size_t size, int scheme) {
  if (dst == nullptr || size == 0) return dst;
  const auto* s = reinterpret_cast<const unsigned char*>(src ? src : "");
  std::size_t n = std::strlen(reinterpret_cast<const char*>(s));
  std::size_t w = 0;
  std::size_t r = 0;
  while (r < n && (s[r] == '.' || s[r] == ' ')) ++r;  // no hidden or blank-led names
  while (r < n) {
    std::size_t len = CharLength(s + r, n - r, scheme);
    if (len <= 1) {
      // A single byte: a broken multibyte byte is replaced like an unsafe one,
      // so the name stays valid text of its scheme.
      if (w + 1 > size - 1) break;
      dst[w++] = len == 0 || Unsafe(s[r]) ? '_' : static_cast<char>(s[r]);
      ++r;
      continue;
    }
    if (w + len > size - 1) break;  // never cut a character
    std::memcpy(dst + w, s + r, len);
    w += len;
    r += len;
  }
  if (w == 0 && size > 1) dst[w++] = '_';
  dst[w] = '\0';
  return dst;
}
