#include "host/charset/unicode_text.h"

#include <cstring>
#include <string>

#include "host/charset/charset.h"

bool MLC_IsUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned min;
    unsigned value;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, min = 0x80, value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, min = 0x800, value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, min = 0x10000, value = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      value = (value << 6) | (s[i + k] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

int MLC_UText2Unicode(std::string_view name, char* out, std::size_t size, int charset_value,
                      int* flag) {
  if (out == nullptr || size == 0) return 0;
  if (charset_value == kCharsetUnknown || charset_value == kCharsetUtf8) return 0;
  bool printable = true;
  bool high = false;
  for (unsigned char c : name) {
    if (c < 0x20 || c > 0x7E) printable = false;
    if (c >= 0x80) high = true;
  }
  if (printable) return 0;
  std::string utf8;
  int how;
  if (high && MLC_IsUtf8(name)) {
    utf8.assign(name);
    how = kUniSentAsUtf8;
  } else if (MLC_Text2UTF8(name, utf8, charset_value) == 0) {
    how = kUniConverted;
  } else {
    return 0;
  }
  if (utf8.size() >= size || std::memchr(utf8.data(), '\0', utf8.size())) return 0;
  std::memcpy(out, utf8.data(), utf8.size());
  out[utf8.size()] = '\0';
  if (flag) *flag = how;
  return 1;
}

const char* Uni2Unicode(const char* buffer, int /*flag*/) {
  return buffer ? buffer : "";
}
