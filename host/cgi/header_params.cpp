#include "host/cgi/header_params.h"

#include "host/base/ascii.h"
#include "host/base/strings.h"
#include "host/text/cgi_escape.h"

namespace {

// Where the quoted string that opens before `from` ends: the first '"' after
// which only blanks stand before a ";" or the end. Browsers send a file name's
// backslashes unescaped ("C:\dir\a.txt", even "C:\dir\"), so a backslash does
// not escape the next byte; npos when no quote ends it.
std::size_t ClosingQuote(std::string_view text, std::size_t from) {
  for (std::size_t i = text.find('"', from); i != std::string_view::npos;
       i = text.find('"', i + 1)) {
    std::size_t j = i + 1;
    while (j < text.size() && ascii::IsBlank(text[j])) ++j;
    if (j == text.size() || text[j] == ';') return i;
  }
  return std::string_view::npos;
}

// The inside of a quoted string: as sent, but an inner \" (a quote that did
// not end the string) stands for the quote alone.
std::string Unquote(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '"') continue;
    out += inner[i];
  }
  return out;
}

}  // namespace

// The type of a header value: the text before the first ";", trimmed.
std::string_view HeaderType(std::string_view value) {
  return TrimBlanks(value.substr(0, value.find(';')));
}

// The parameters after the type of a header value, in order.
std::vector<Param> HeaderParams(std::string_view value) {
  std::vector<Param> params;
  std::size_t pos = value.find(';');
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ';'
    std::size_t end = value.find_first_of("=;", pos);
    if (end == std::string_view::npos || value[end] == ';') {
      pos = end;  // a parameter without "=" is skipped
      continue;
    }
    Param p;
    p.name = TrimBlanks(value.substr(pos, end - pos));
    pos = end + 1;
    while (pos < value.size() && ascii::IsBlank(value[pos])) ++pos;
    if (pos < value.size() && value[pos] == '"') {
      std::size_t close = ClosingQuote(value, pos + 1);
      if (close == std::string_view::npos) {
        // An unterminated quote runs to the end of the header.
        p.value = Unquote(TrimBlanks(value.substr(pos + 1)));
        pos = std::string_view::npos;
      } else {
        p.value = Unquote(value.substr(pos + 1, close - pos - 1));
        pos = value.find(';', close);
      }
    } else {
      std::size_t semi = value.find(';', pos);
      p.value = std::string(TrimBlanks(
          value.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos)));
      pos = semi;
    }
    if (!p.name.empty()) params.push_back(std::move(p));
  }
  return params;
}

const Param* FindParam(const std::vector<Param>& params, std::string_view name) {
  for (const Param& p : params) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

// An RFC 5987 value: charset'language'percent-encoded. The bytes are kept in
// the charset they were sent in; the charset and language are dropped.
std::string ExtValue(std::string_view value) {
  std::size_t q1 = value.find('\'');
  std::size_t q2 = q1 == std::string_view::npos ? q1 : value.find('\'', q1 + 1);
  std::string text(q2 == std::string_view::npos ? value : value.substr(q2 + 1));
  // "+" is literal here, unlike in a form body.
  std::string out;
  for (std::size_t start = 0;;) {
    std::size_t plus = text.find('+', start);
    std::string piece = text.substr(start, plus == std::string::npos ? plus : plus - start);
    MCGI_URIUnescape(piece);
    out += piece;
    if (plus == std::string::npos) break;
    out += '+';
    start = plus + 1;
  }
  return out;
}

// The boundary of a multipart Content-Type; "" when missing or unusable
// (RFC 2046: 1 to 70 characters; we refuse only what could not be matched:
// control bytes and quotes).
std::string BoundaryOf(std::string_view content_type) {
  std::vector<Param> params = HeaderParams(content_type);
  const Param* p = FindParam(params, "boundary");
  if (p == nullptr || p->value.empty() || p->value.size() > 70) return {};
  for (unsigned char c : p->value) {
    if (c < 0x20 || c == 0x7f || c == '"') return {};
  }
  return p->value;
}
