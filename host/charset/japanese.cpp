#include "host/charset/japanese.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace {

// ---- ISO-2022-JP --------------------------------------------------------
//
// ISO-2022-JP is converted by arithmetic rather than through iconv: the
// Shift_JIS bytes of a JIS X 0208 row/cell pair are a fixed function of it,
// and glibc's ISO-2022-JP decoder rejects two things Japanese mail commonly
// carries: half-width katakana after ESC ( I, and the NEC special characters
// of row 13 (circled digits and the like), which CP932 holds at 0x87xx.

enum class JisMode { kAscii, kKanji, kKana };

// JIS row/cell bytes (0x21..0x7E each) to their Shift_JIS pair.
void JisToSjis(unsigned char j1, unsigned char j2, unsigned char* out) {
  unsigned row = j1 - 0x21;  // 0..93
  unsigned char lead = static_cast<unsigned char>(row / 2 + (row < 62 ? 0x81 : 0xc1));
  unsigned char trail;
  if (row % 2 == 0) {
    trail = static_cast<unsigned char>(j2 + (j2 < 0x60 ? 0x1f : 0x20));
  } else {
    trail = static_cast<unsigned char>(j2 + 0x7e);
  }
  out[0] = lead;
  out[1] = trail;
}

// Reads an escape sequence at s[r] (s[r] == ESC); answers its length and the
// mode it selects, or 0 for one this conversion does not know.
std::size_t Escape(const unsigned char* s, std::size_t n, std::size_t r, JisMode& mode) {
  auto at = [&](std::size_t i) -> int { return r + i < n ? s[r + i] : -1; };
  if (at(1) == '$' && (at(2) == '@' || at(2) == 'B')) {
    mode = JisMode::kKanji;
    return 3;
  }
  if (at(1) == '(' && (at(2) == 'B' || at(2) == 'J')) {
    mode = JisMode::kAscii;
    return 3;
  }
  if (at(1) == '(' && at(2) == 'I') {
    mode = JisMode::kKana;
    return 3;
  }
  // ESC & @ announces the 1990 revision; the ESC $ B that follows selects it.
  if (at(1) == '&' && at(2) == '@') return 3;
  return 0;
}

// Converts into `out` (room for n bytes); false when the text is not valid
// ISO-2022-JP.
bool ConvertJis(const unsigned char* s, std::size_t n, unsigned char* out, std::size_t& length) {
  JisMode mode = JisMode::kAscii;
  std::size_t r = 0, w = 0;
  while (r < n) {
    unsigned char c = s[r];
    if (c == 0x1b) {
      std::size_t len = Escape(s, n, r, mode);
      if (len == 0) return false;
      r += len;
      continue;
    }
    if (c >= 0x80) return false;
    if (c == 0x0e) {  // SO / SI: the older way to shift into katakana
      mode = JisMode::kKana;
      ++r;
      continue;
    }
    if (c == 0x0f) {
      mode = JisMode::kAscii;
      ++r;
      continue;
    }
    if (c < 0x21 || c == 0x7f) {
      // Controls and spaces pass in any mode; a line end also ends a
      // double-byte run that a careless writer did not close.
      if (c == '\n' || c == '\r') mode = JisMode::kAscii;
      out[w++] = c;
      ++r;
      continue;
    }
    switch (mode) {
      case JisMode::kAscii:
        out[w++] = c;
        ++r;
        break;
      case JisMode::kKana:
        if (c > 0x5f) return false;
        out[w++] = static_cast<unsigned char>(c + 0x80);
        ++r;
        break;
      case JisMode::kKanji:
        if (r + 1 >= n || s[r + 1] < 0x21 || s[r + 1] > 0x7e) return false;
        JisToSjis(c, s[r + 1], out + w);
        w += 2;
        r += 2;
        break;
    }
  }
  length = w;
  return true;
}

// ---- EUC-JP through iconv -----------------------------------------------

// One descriptor per thread, opened on first use and reset before each use
// (iconv_open reads the conversion tables from disk).
class EucConverter {
 public:
  EucConverter() {
    // EUC-JP-MS also knows the NEC and IBM extensions that CP932 holds.
    cd_ = iconv_open("CP932", "EUC-JP-MS");
    if (!ok()) cd_ = iconv_open("CP932", "EUC-JP");
  }
  ~EucConverter() {
    if (ok()) iconv_close(cd_);
  }
  EucConverter(const EucConverter&) = delete;
  EucConverter& operator=(const EucConverter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // A Shift_JIS text is never longer than its EUC-JP form (2 bytes stay 2,
  // the 0x8E kana prefix goes, 3-byte JIS X 0212 become 2), so one output
  // buffer of the input's size suffices; E2BIG is a failure.
  bool Convert(std::string_view in, std::string& out) {
    if (!ok()) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size());
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    char* dst = out.data();
    std::size_t room = out.size();
    if (iconv(cd_, &src, &left, &dst, &room) == static_cast<std::size_t>(-1) ||
        iconv(cd_, nullptr, nullptr, &dst, &room) == static_cast<std::size_t>(-1)) {
      return false;
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
    return true;
  }

 private:
  iconv_t cd_;
};

EucConverter& Euc() {
  thread_local EucConverter converter;
  return converter;
}

}  // namespace

void MLG_JPInit() {
  Euc();
}

std::size_t MLG_JPJis2Sjis(char* text, std::size_t length) {
  if (text == nullptr || length == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  if (std::memchr(text, 0x1b, length) == nullptr && std::memchr(text, 0x0e, length) == nullptr) {
    return length;  // no shift at all: the text is the same in Shift_JIS
  }
  std::string out(length, '\0');
  std::size_t converted = 0;
  if (!ConvertJis(s, length, reinterpret_cast<unsigned char*>(out.data()), converted)) {
    return length;
  }
  std::memcpy(text, out.data(), converted);
  return converted;
}

int MLG_JPEuc2Sjis(std::string_view in, std::string& out) {
  if (Euc().Convert(in, out)) return 0;
  out.assign(in);
  return -1;
}
