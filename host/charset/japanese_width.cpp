#include "host/charset/japanese_width.h"

#include <cstring>
#include <string>

#include "host/charset/charset.h"
#include "host/charset/names.h"

namespace {

// The full-width Shift_JIS character of each half-width katakana 0xA1..0xDF.
constexpr unsigned short kFullWidth[0xE0 - 0xA1] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342,  // ｡ ｢ ｣ ､ ･ ｦ ｧ ｨ
    0x8344, 0x8346, 0x8348, 0x8383, 0x8385, 0x8387, 0x8362, 0x815B,  // ｩ ｪ ｫ ｬ ｭ ｮ ｯ ｰ
    0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C, 0x834E,  // ｱ ｲ ｳ ｴ ｵ ｶ ｷ ｸ
    0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E,  // ｹ ｺ ｻ ｼ ｽ ｾ ｿ ﾀ
    0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C,  // ﾁ ﾂ ﾃ ﾄ ﾅ ﾆ ﾇ ﾈ
    0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D, 0x837E,  // ﾉ ﾊ ﾋ ﾌ ﾍ ﾎ ﾏ ﾐ
    0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389, 0x838A,  // ﾑ ﾒ ﾓ ﾔ ﾕ ﾖ ﾗ ﾘ
    0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B,          // ﾙ ﾚ ﾛ ﾜ ﾝ ﾞ ﾟ
};

constexpr unsigned char kVoiced = 0xDE;      // ﾞ
constexpr unsigned char kSemiVoiced = 0xDF;  // ﾟ

bool IsHalfKana(unsigned char c) {
  return c >= 0xA1 && c <= 0xDF;
}

// The combined character of a half-width letter and a sound mark, 0 when the
// pair has none.
unsigned short Combined(unsigned char letter, unsigned char mark) {
  unsigned short full = kFullWidth[letter - 0xA1];
  bool ka_to = letter >= 0xB6 && letter <= 0xC4;  // ｶ..ﾄ: ガ..ド
  bool ha_ho = letter >= 0xCA && letter <= 0xCE;  // ﾊ..ﾎ: バ..ボ, パ..ポ
  if (mark == kVoiced) {
    if (letter == 0xB3) return 0x8394;  // ｳﾞ: ヴ
    if (ka_to || ha_ho) return static_cast<unsigned short>(full + 1);
  } else if (mark == kSemiVoiced && ha_ho) {
    return static_cast<unsigned short>(full + 2);
  }
  return 0;
}

// The length of a whole-character prefix of `src` no longer than `limit`.
std::size_t WholeCut(const char* src, std::size_t length, std::size_t limit, int charset_value) {
  if (length <= limit) return length;
  if (charset_value == kCharsetUtf8) {
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    return n;
  }
  if (IsTwoByteCharset(charset_value)) {
    std::size_t n = 0;
    while (n < limit) {
      std::size_t step = IsLeadByte(charset_value, static_cast<unsigned char>(src[n])) ? 2 : 1;
      if (n + step > limit) break;
      n += step;
    }
    return n;
  }
  return limit;
}

}  // namespace

const char* MLG_JPH2F(const char* text, std::size_t length, int /*flags*/) {
  static std::string wide;
  std::string out;
  out.reserve(length * 2);
  const auto* s = reinterpret_cast<const unsigned char*>(text ? text : "");
  if (text == nullptr) length = 0;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = s[i];
    if (IsLeadByte(kCharsetShiftJis, c) && i + 1 < length) {
      out += static_cast<char>(c);
      out += static_cast<char>(s[++i]);
      continue;
    }
    if (!IsHalfKana(c)) {
      out += static_cast<char>(c);
      continue;
    }
    unsigned short full = kFullWidth[c - 0xA1];
    if (i + 1 < length) {
      if (unsigned short joined = Combined(c, s[i + 1])) {
        full = joined;
        ++i;
      }
    }
    out += static_cast<char>(full >> 8);
    out += static_cast<char>(full & 0xFF);
  }
  wide = std::move(out);
  return wide.c_str();
}

std::size_t MLG_Copy(char* dst, std::size_t size, const char* src, int charset_value) {
  if (dst == nullptr || size == 0) return 0;
  if (src == nullptr) src = "";
  std::size_t n = WholeCut(src, std::strlen(src), size - 1, charset_value);
  std::memmove(dst, src, n);
  dst[n] = '\0';
  return n;
}
