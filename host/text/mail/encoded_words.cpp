#include "host/text/mail/encoded_words.h"

#include <cstring>

#include "host/base/ascii.h"
#include "host/text/cgi_escape.h"
#include "host/text/codecs.h"

namespace {

// A parsed "=?charset?X?text?=" word; offsets into the text.
struct Word {
  std::size_t charset_at = 0;
  std::size_t charset_length = 0;  // without a "*language" suffix (RFC 2231)
  char encoding = 0;               // 'B' or 'Q'
  std::size_t text_at = 0;
  std::size_t text_length = 0;
  std::size_t end = 0;  // just past "?="
};

bool IsLinearWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// RFC 2047 section 2: a charset is a token: no white space, no controls and
// none of the especials (a "*" starts the language suffix).
bool IsCharsetChar(char ch) {
  auto c = static_cast<unsigned char>(ch);
  return c > 0x20 && c < 0x7f && std::strchr("()<>@,;:\"/[]?.=", c) == nullptr;
}

// Encoded text holds no "?" and no white space (RFC 2047 section 5), so the
// scan from one "=?" never passes three "?" marks: every attempt is bounded by
// the next candidates, which keeps the whole walk linear on hostile input.
bool IsEncodedTextChar(char ch) {
  auto c = static_cast<unsigned char>(ch);
  return c > 0x20 && c != 0x7f && c != '?';
}

// Parses the word that starts at `at` ("=?" already seen).
bool ParseWord(const char* s, std::size_t n, std::size_t at, Word& word) {
  std::size_t p = at + 2;
  word.charset_at = p;
  while (p < n && IsCharsetChar(s[p])) ++p;
  if (p >= n || s[p] != '?') return false;
  const void* star = std::memchr(s + word.charset_at, '*', p - word.charset_at);
  std::size_t charset_end = star ? static_cast<const char*>(star) - s : p;
  word.charset_length = charset_end - word.charset_at;
  if (word.charset_length == 0) return false;
  ++p;
  if (p + 1 >= n || s[p + 1] != '?') return false;
  word.encoding = static_cast<char>(s[p] & ~0x20);
  if (word.encoding != 'B' && word.encoding != 'Q') return false;
  p += 2;
  word.text_at = p;
  while (p < n && IsEncodedTextChar(s[p])) ++p;
  if (p + 1 >= n || s[p] != '?' || s[p + 1] != '=') return false;
  word.text_length = p - word.text_at;
  word.end = p + 2;
  return true;
}

// The "Q" encoding (RFC 2047 section 4.2) in place: "_" is a space, "=XX" a
// byte, anything else itself; a malformed "=" stays.
std::size_t QDecode(char* s, std::size_t n) {
  return DecodeHexEscapes(s, n, '=', '_');
}

// Decodes `word` to s + w (at or before the word); answers the new w.
// Decoded NUL bytes are dropped: the text is a C string and a NUL would hide
// everything after it.
std::size_t DecodeWord(char* s, std::size_t w, const Word& word) {
  char* out = s + w;
  std::memmove(out, s + word.text_at, word.text_length);
  std::size_t length =
      word.encoding == 'B' ? MTX_Base64Dec(out, word.text_length) : QDecode(out, word.text_length);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (out[i] != '\0') out[kept++] = out[i];
  }
  return w + kept;
}

}  // namespace

std::string MSTR_Decode(char* text) {
  std::string charset;
  if (text == nullptr) return charset;
  char* s = text;
  const std::size_t n = std::strlen(s);
  std::size_t r = 0, w = 0;
  bool after_word = false;  // the output so far ends with a decoded word
  while (r < n) {
    // The next "=?" candidate.
    std::size_t at = r;
    while (true) {
      const void* eq = std::memchr(s + at, '=', n - at);
      if (eq == nullptr) {
        at = n;
        break;
      }
      at = static_cast<const char*>(eq) - s;
      if (at + 1 < n && s[at + 1] == '?') break;
      ++at;
    }
    Word word;
    bool valid = at < n && ParseWord(s, n, at, word);
    // Plain text up to the candidate; white space alone between two words
    // goes (RFC 2047 section 6.2).
    bool drop = false;
    if (valid && after_word) {
      drop = true;
      for (std::size_t i = r; i < at && drop; ++i) drop = IsLinearWhiteSpace(s[i]);
    }
    if (!drop && at > r) {
      std::memmove(s + w, s + r, at - r);
      w += at - r;
    }
    r = at;
    if (r == n) break;
    if (!valid) {
      s[w++] = '=';  // the "?" after it is plain text of the next round
      ++r;
      after_word = false;
      continue;
    }
    if (charset.empty()) charset.assign(s + word.charset_at, word.charset_length);
    w = DecodeWord(s, w, word);
    r = word.end;
    after_word = true;
  }
  s[w] = '\0';
  return charset;
}
