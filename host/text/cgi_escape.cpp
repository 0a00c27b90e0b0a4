#include "host/text/cgi_escape.h"

#include <cstdint>
#include <cstring>

#include "host/base/ascii.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

// The entity of an HTML special byte, or null for a byte that stays.
const char* HtmlEntity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    default:
      return nullptr;
  }
}

void AppendPercent(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

std::string UriEscape(std::string_view src, bool space_as_plus) {
  std::string out;
  out.reserve(src.size());
  for (unsigned char c : src) {
    if (IsUnreserved(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ' && space_as_plus) {
      out += '+';
    } else {
      AppendPercent(out, c);
    }
  }
  return out;
}

// Copies `text` into dst of `size` bytes with its NUL; on overflow dst is "".
int CopyOut(const std::string& text, char* dst, std::size_t size) {
  if (size == 0 || dst == nullptr) return -1;
  if (text.size() + 1 > size) {
    dst[0] = '\0';
    return -1;
  }
  std::memcpy(dst, text.data(), text.size());
  dst[text.size()] = '\0';
  return 0;
}

}  // namespace

std::string HtmlEscape(std::string_view src) {
  std::string out;
  out.reserve(src.size());
  for (char c : src) {
    if (const char* e = HtmlEntity(c)) {
      out += e;
    } else {
      out += c;
    }
  }
  return out;
}

std::size_t NumericReferenceLength(std::string_view text) {
  if (text.size() < 4 || text[0] != '&' || text[1] != '#') return 0;
  const bool hex = text[2] == 'x' || text[2] == 'X';
  const std::size_t start = hex ? 3 : 2;
  const std::size_t max_digits = hex ? 6 : 7;
  std::uint32_t value = 0;
  std::size_t i = start;
  for (; i < text.size() && i - start < max_digits; ++i) {
    int digit = hex ? ascii::HexValue(text[i]) : (ascii::IsDigit(text[i]) ? text[i] - '0' : -1);
    if (digit < 0) break;
    value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
  }
  if (i == start || i >= text.size() || text[i] != ';') return 0;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return i + 1;
}

std::string HtmlEscapeKeepingReferences(std::string_view src) {
  std::string out;
  out.reserve(src.size());
  for (std::size_t i = 0; i < src.size();) {
    if (std::size_t kept = NumericReferenceLength(src.substr(i))) {
      out.append(src, i, kept);
      i += kept;
      continue;
    }
    if (const char* e = HtmlEntity(src[i])) {
      out += e;
    } else {
      out += src[i];
    }
    ++i;
  }
  return out;
}

int MCGI_HTMLEscape(std::string_view src, char* dst, std::size_t size, int flags) {
  return CopyOut(HtmlEscape(src), dst, size);
}

int MCGI_URIEscape(std::string_view src, char* dst, std::size_t size) {
  return CopyOut(MCGI_URIEscapeStr(src), dst, size);
}

std::string MCGI_URIEscapeStr(std::string_view src) {
  return UriEscape(src, false);
}

std::string MCGI_Escape(std::string_view src) {
  return UriEscape(src, true);
}

std::string MCGI_JSEscape(std::string_view src) {
  std::string out;
  out.reserve(src.size());
  for (std::size_t i = 0; i < src.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '\'':
        out += "\\'";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    // "<" and ">" keep "</script>" and "<!--" out of a script block; "&"
    // keeps an entity from turning into a quote inside an event attribute.
    if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      continue;
    }
    // U+2028 and U+2029 end a line in older JavaScript, even inside a string.
    if (c == 0xe2 && i + 2 < src.size() && static_cast<unsigned char>(src[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(src[i + 2]) == 0xa8 ||
         static_cast<unsigned char>(src[i + 2]) == 0xa9)) {
      out += static_cast<unsigned char>(src[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::size_t DecodeHexEscapes(char* text, std::size_t length, char escape, char space_as) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == space_as) {
      c = ' ';
    } else if (c == escape && i + 2 < length) {
      int hi = ascii::HexValue(text[i + 1]);
      int lo = ascii::HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        c = static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    }
    text[out++] = c;
  }
  return out;
}

std::size_t MCGI_URIUnescape(char* text, std::size_t length) {
  return DecodeHexEscapes(text, length, '%', '+');
}

std::size_t MCGI_URIUnescape(std::string& text) {
  text.resize(MCGI_URIUnescape(text.data(), text.size()));
  return text.size();
}
