#include "host/text/codecs.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "host/base/ascii.h"

namespace {

// ---- base64 -------------------------------------------------------------

constexpr std::uint8_t kB64Skip = 0x80;  // not in the alphabet: skipped
constexpr std::uint8_t kB64Pad = 0x81;   // "=": the end of the data

// Four lookups per quantum, each table holding the 6-bit value already
// shifted into its place of the 24-bit group, so that a quantum is three ORs.
// A byte outside the alphabet sets bits 24..31 in every table, so one test of
// the ORed word tells whether all four characters were valid.
struct Base64Tables {
  std::array<std::uint8_t, 256> value{};
  std::array<std::uint32_t, 256> shifted[4]{};
};

constexpr Base64Tables MakeBase64Tables() {
  Base64Tables t{};
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    t.value[c] = kB64Skip;
    for (auto& s : t.shifted) s[c] = 0xff000000u;
  }
  t.value['='] = kB64Pad;
  for (std::uint32_t v = 0; v < 64; ++v) {
    auto c = static_cast<unsigned char>(alphabet[v]);
    t.value[c] = static_cast<std::uint8_t>(v);
    t.shifted[0][c] = v << 18;
    t.shifted[1][c] = v << 12;
    t.shifted[2][c] = v << 6;
    t.shifted[3][c] = v;
  }
  return t;
}

constexpr Base64Tables kB64 = MakeBase64Tables();

// ---- quoted-printable ---------------------------------------------------

// Hexadecimal digit values, either case; 0xff for other bytes.
constexpr std::array<std::uint8_t, 256> MakeHexTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = 0xff;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = t[c - 32] = static_cast<std::uint8_t>(c - 'a' + 10);
  return t;
}

constexpr std::array<std::uint8_t, 256> kHex = MakeHexTable();

// Position of the next `c` at or after `from`, or `end`.
std::size_t Find(const char* data, std::size_t from, std::size_t end, char c) {
  const void* p = std::memchr(data + from, c, end - from);
  return p ? static_cast<std::size_t>(static_cast<const char*>(p) - data) : end;
}

// ---- uuencode -----------------------------------------------------------

unsigned UuValue(char c) {
  return (static_cast<unsigned char>(c) - 32u) & 63u;
}

// A line that holds "end" and at most trailing white space.
bool IsEndLine(const char* line, std::size_t length) {
  if (length < 3 || std::memcmp(line, "end", 3) != 0) return false;
  for (std::size_t i = 3; i < length; ++i) {
    if (!ascii::IsBlank(line[i])) return false;
  }
  return true;
}

// Decodes the uuencoded lines of `src` (n bytes) into `dst`, which may be
// `src` itself or lie before it in the same buffer. Each line is decoded into
// a small buffer first, so the line can be read whole before its own bytes
// are overwritten.
std::size_t UuDecodeLines(const char* src, std::size_t n, char* dst) {
  std::size_t r = 0, w = 0;
  while (r < n) {
    std::size_t next = Find(src, r, n, '\n');
    std::size_t e = next;
    if (e > r && src[e - 1] == '\r') --e;
    next = next < n ? next + 1 : n;
    if (e == r) {  // an empty line between data lines
      r = next;
      continue;
    }
    if (IsEndLine(src + r, e - r)) break;
    unsigned want = UuValue(src[r]);
    if (want == 0) break;  // "`" or " ": the zero-length line before "end"
    // Characters missing at the end of a line count as zero, as if a
    // transport had stripped trailing spaces (the old zero character).
    unsigned char line[66];
    unsigned got = 0;
    for (std::size_t p = r + 1; got < want; p += 4) {
      unsigned v[4];
      for (int i = 0; i < 4; ++i) v[i] = p + i < e ? UuValue(src[p + i]) : 0;
      line[got++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
      line[got++] = static_cast<unsigned char>(v[1] << 4 | v[2] >> 2);
      line[got++] = static_cast<unsigned char>(v[2] << 6 | v[3]);
    }
    got = want;
    // A line too short for its length byte would otherwise write past its
    // own end into lines not yet read.
    std::size_t room = static_cast<std::size_t>(src - dst) + next - w;
    std::size_t count = got < room ? got : room;
    std::memcpy(dst + w, line, count);
    w += count;
    r = next;
  }
  return w;
}

// A "begin <mode> <name>" line: answers true and sets the name's range.
bool ParseBeginLine(const char* line, std::size_t length, std::size_t& name_at,
                    std::size_t& name_length) {
  if (length < 6 || std::memcmp(line, "begin ", 6) != 0) return false;
  std::size_t p = 6;
  while (p < length && line[p] == ' ') ++p;
  std::size_t mode = p;
  while (p < length && line[p] >= '0' && line[p] <= '7') ++p;
  if (p == mode || p == length || line[p] != ' ') return false;
  while (p < length && line[p] == ' ') ++p;
  name_at = p;
  name_length = length - p;
  return true;
}

}  // namespace

std::size_t MTX_Base64Dec(char* data, std::size_t length) {
  if (data == nullptr) return 0;
  auto* s = reinterpret_cast<unsigned char*>(data);
  std::size_t r = 0, w = 0;
  std::uint32_t group = 0;  // characters of an unfinished quantum
  int have = 0;
  while (r < length) {
    if (have == 0) {
      // The writes land at or before bytes already read: w <= r always.
      while (length - r >= 8) {
        std::uint32_t a = kB64.shifted[0][s[r]] | kB64.shifted[1][s[r + 1]] |
                          kB64.shifted[2][s[r + 2]] | kB64.shifted[3][s[r + 3]];
        std::uint32_t b = kB64.shifted[0][s[r + 4]] | kB64.shifted[1][s[r + 5]] |
                          kB64.shifted[2][s[r + 6]] | kB64.shifted[3][s[r + 7]];
        if ((a | b) & 0xff000000u) break;
        s[w] = static_cast<unsigned char>(a >> 16);
        s[w + 1] = static_cast<unsigned char>(a >> 8);
        s[w + 2] = static_cast<unsigned char>(a);
        s[w + 3] = static_cast<unsigned char>(b >> 16);
        s[w + 4] = static_cast<unsigned char>(b >> 8);
        s[w + 5] = static_cast<unsigned char>(b);
        r += 8;
        w += 6;
      }
      if (length - r >= 4) {
        std::uint32_t a = kB64.shifted[0][s[r]] | kB64.shifted[1][s[r + 1]] |
                          kB64.shifted[2][s[r + 2]] | kB64.shifted[3][s[r + 3]];
        if (!(a & 0xff000000u)) {
          s[w] = static_cast<unsigned char>(a >> 16);
          s[w + 1] = static_cast<unsigned char>(a >> 8);
          s[w + 2] = static_cast<unsigned char>(a);
          r += 4;
          w += 3;
          continue;
        }
      }
      if (r == length) break;
    }
    // One character at a time: line breaks, garbage, and quanta that a
    // skipped character splits.
    std::uint8_t v = kB64.value[s[r]];
    if (v == kB64Pad) break;
    ++r;
    if (v == kB64Skip) continue;
    group = group << 6 | v;
    if (++have == 4) {
      s[w] = static_cast<unsigned char>(group >> 16);
      s[w + 1] = static_cast<unsigned char>(group >> 8);
      s[w + 2] = static_cast<unsigned char>(group);
      w += 3;
      group = 0;
      have = 0;
    }
  }
  // An unfinished quantum: 2 characters carry one byte, 3 carry two; a single
  // character carries no whole byte.
  if (have == 2) {
    s[w++] = static_cast<unsigned char>(group >> 4);
  } else if (have == 3) {
    s[w++] = static_cast<unsigned char>(group >> 10);
    s[w++] = static_cast<unsigned char>(group >> 2);
  }
  return w;
}

std::size_t MTX_QPDec(char* data, std::size_t length) {
  if (data == nullptr) return 0;
  char* s = data;
  std::size_t r = 0, w = 0;
  // Output before `kept` is final: decoded bytes and soft breaks end the
  // white space that RFC 2045 rule 3 lets a line end drop, so "=20" at a line
  // end survives.
  std::size_t kept = 0;
  // The next LF, found with memchr and reused until passed. Within a line the
  // literal bytes before an "=" are usually few, so a byte loop beats a
  // library call there.
  std::size_t next_nl = 0;
  bool nl_known = false;
  while (r < length) {
    if (!nl_known || next_nl < r) next_nl = Find(s, r, length, '\n'), nl_known = true;
    if (w == r) {
      const void* eq = std::memchr(s + r, '=', next_nl - r);
      r = eq ? static_cast<std::size_t>(static_cast<const char*>(eq) - s) : next_nl;
      w = r;
    } else {
      while (r < next_nl && s[r] != '=') s[w++] = s[r++];
    }
    if (r == length) break;
    if (s[r] == '\n') {
      // A hard line break, LF or CRLF as written; trailing blanks go.
      bool crlf = w > kept && s[w - 1] == '\r';
      if (crlf) --w;
      while (w > kept && ascii::IsBlank(s[w - 1])) --w;
      if (crlf) s[w++] = '\r';
      s[w++] = '\n';
      ++r;
      kept = w;
      continue;
    }
    // "=": encoded bytes (usually several in a row), a soft line break, or a
    // malformed "=" kept.
    if (r + 2 < length && kHex[static_cast<unsigned char>(s[r + 1])] < 16 &&
        kHex[static_cast<unsigned char>(s[r + 2])] < 16) {
      do {
        s[w++] = static_cast<char>(kHex[static_cast<unsigned char>(s[r + 1])] << 4 |
                                   kHex[static_cast<unsigned char>(s[r + 2])]);
        r += 3;
      } while (r + 2 < length && s[r] == '=' && kHex[static_cast<unsigned char>(s[r + 1])] < 16 &&
               kHex[static_cast<unsigned char>(s[r + 2])] < 16);
      kept = w;
      continue;
    }
    std::size_t p = r + 1;
    while (p < length && ascii::IsBlank(s[p])) ++p;
    if (p == length || s[p] == '\n') {  // a soft break; one at the very end too
      r = p < length ? p + 1 : p;
      kept = w;
    } else if (s[p] == '\r' && p + 1 < length && s[p + 1] == '\n') {
      r = p + 2;
      kept = w;
    } else {
      s[w++] = '=';
      ++r;
    }
  }
  while (w > kept && ascii::IsBlank(s[w - 1])) --w;  // the last line's trailing blanks
  return w;
}

std::string MTX_QPEnc(std::string_view data) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  constexpr std::size_t kLine = 76;  // RFC 2045: at most 76 characters a line
  std::string out;
  out.reserve(data.size() + data.size() / 8 + 16);
  std::size_t col = 0;
  const std::size_t n = data.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == '\n') {
      out += '\n';
      col = 0;
      continue;
    }
    if (c == '\r' && i + 1 < n && data[i + 1] == '\n') {
      out += "\r\n";
      ++i;
      col = 0;
      continue;
    }
    bool line_end = i + 1 == n || data[i + 1] == '\n' ||
                    (data[i + 1] == '\r' && i + 2 < n && data[i + 2] == '\n');
    bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !line_end);
    std::size_t width = literal ? 1 : 3;
    // A line that goes on needs one column for its soft-break "=".
    if (col + width > (line_end ? kLine : kLine - 1)) {
      out += "=\r\n";
      col = 0;
    }
    if (literal) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    col += width;
  }
  return out;
}

std::size_t MTX_UUDec(char* data, std::size_t length) {
  if (data == nullptr) return 0;
  return UuDecodeLines(data, length, data);
}

std::size_t MTX_UUDec2(char* data, std::size_t length, char* name, std::size_t name_size) {
  if (name != nullptr && name_size > 0) name[0] = '\0';
  if (data == nullptr) return 0;
  for (std::size_t r = 0; r < length;) {
    std::size_t next = Find(data, r, length, '\n');
    std::size_t e = next;
    if (e > r && data[e - 1] == '\r') --e;
    next = next < length ? next + 1 : length;
    std::size_t name_at = 0, name_length = 0;
    if (ParseBeginLine(data + r, e - r, name_at, name_length)) {
      if (name != nullptr && name_size > 0) {
        std::size_t count = name_length < name_size - 1 ? name_length : name_size - 1;
        std::memcpy(name, data + r + name_at, count);
        name[count] = '\0';
      }
      return UuDecodeLines(data + next, length - next, data);
    }
    r = next;
  }
  return UuDecodeLines(data, length, data);
}
