#include "host/text/html_text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "host/base/ascii.h"
#include "host/base/strings.h"

namespace {

bool IsLineBreaking(std::string_view tag) {
  static constexpr std::string_view kTags[] = {"br",    "p",  "div", "tr",         "li",  "h1",
                                               "h2",    "h3", "h4",  "h5",         "h6",  "title",
                                               "table", "ul", "ol",  "blockquote", "pre", "hr"};
  for (std::string_view t : kTags) {
    if (EqualsNoCase(tag, t)) return true;
  }
  return false;
}

// The position of `needle` in text[from, n), ignoring ASCII case; n when
// absent.
std::size_t FindNoCase(const char* text, std::size_t n, std::size_t from, std::string_view needle) {
  if (needle.size() > n) return n;
  for (std::size_t i = from; i + needle.size() <= n; ++i) {
    if (StartsWithNoCase(std::string_view(text + i, needle.size()), needle)) return i;
  }
  return n;
}

// The position just after the ">" closing a tag whose text goes on at
// `from`; quoted attribute values may hold ">". n when the tag is not closed.
std::size_t TagEnd(const char* text, std::size_t n, std::size_t from) {
  char quote = 0;
  for (std::size_t i = from; i < n; ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return n;
}

// Decodes the entity at text[at] ("&"): the character and the position after
// the ";", or 0 when it is not one this decoder knows.
std::size_t Entity(const char* text, std::size_t n, std::size_t at, char* decoded) {
  constexpr std::size_t kLongest = 12;  // "&#x0000007F;"
  std::size_t limit = std::min(n, at + kLongest);
  std::size_t semi = at + 1;
  while (semi < limit && text[semi] != ';') ++semi;
  if (semi >= limit) return 0;
  std::string_view body(text + at + 1, semi - at - 1);
  static constexpr struct {
    std::string_view name;
    char c;
  } kNamed[] = {{"lt", '<'},   {"gt", '>'},    {"amp", '&'},
                {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '}};
  for (const auto& e : kNamed) {
    if (body == e.name) {
      *decoded = e.c;
      return semi + 1;
    }
  }
  if (body.size() < 2 || body[0] != '#') return 0;
  bool hex = body[1] == 'x' || body[1] == 'X';
  std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) return 0;
  unsigned value = 0;
  for (char c : digits) {
    unsigned d;
    if (ascii::IsDigit(c)) {
      d = static_cast<unsigned>(c - '0');
    } else if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      d = static_cast<unsigned>((c | 0x20) - 'a' + 10);
    } else {
      return 0;
    }
    value = value * (hex ? 16 : 10) + d;
    if (value >= 0x80) return 0;  // only ASCII: the text's charset is unknown
  }
  if (value == 0) return 0;
  *decoded = static_cast<char>(value);
  return semi + 1;
}

// The text of `in` written to `out` (which may be `in` itself: the write
// position never passes the read position, since every piece of markup is
// at least as long as what replaces it).
std::size_t Strip(const char* in, std::size_t n, char* out, std::size_t cap) {
  std::size_t r = 0, w = 0;
  auto put = [&](char c) {
    if (w < cap) out[w++] = c;
  };
  while (r < n) {
    char c = in[r];
    if (c == '&') {
      char decoded;
      if (std::size_t next = Entity(in, n, r, &decoded)) {
        put(decoded);
        r = next;
      } else {
        put(c);
        ++r;
      }
      continue;
    }
    if (c != '<' || r + 1 >= n) {
      put(c);
      ++r;
      continue;
    }
    char next = in[r + 1];
    if (next == '!' && r + 3 < n && in[r + 2] == '-' && in[r + 3] == '-') {
      std::size_t end = FindNoCase(in, n, r + 4, "-->");
      r = end == n ? n : end + 3;
      continue;
    }
    if (next == '!' || next == '?') {
      r = TagEnd(in, n, r + 2);
      continue;
    }
    bool closing = next == '/';
    std::size_t name_at = r + (closing ? 2 : 1);
    if (name_at >= n || !ascii::IsAlpha(in[name_at])) {
      put(c);  // "a < b": text
      ++r;
      continue;
    }
    std::size_t name_end = name_at;
    while (name_end < n && ascii::IsAlnum(in[name_end])) ++name_end;
    std::string_view name(in + name_at, name_end - name_at);
    r = TagEnd(in, n, name_end);
    if (!closing && (EqualsNoCase(name, "script") || EqualsNoCase(name, "style"))) {
      std::string closer = "</";
      closer += name;
      std::size_t end = FindNoCase(in, n, r, closer);
      r = end == n ? n : TagEnd(in, n, end + closer.size());
      continue;
    }
    if (IsLineBreaking(name) && w > 0 && w <= cap && out[w - 1] != '\n' &&
        !(r < n && (in[r] == '\n' || in[r] == '\r'))) {
      put('\n');
    }
  }
  return w;
}

}  // namespace

std::size_t MCC_HtmlTagRemove(const char* data, std::size_t length, char* out,
                              std::size_t* out_length) {
  if (data == nullptr || out == nullptr || out_length == nullptr) {
    if (out_length) *out_length = 0;
    return 0;
  }
  *out_length = Strip(data, length, out, *out_length);
  return *out_length;
}

std::size_t MLG_HtmlTagRemove(char* text, std::size_t length) {
  if (text == nullptr) return 0;
  return Strip(text, length, text, length);
}
