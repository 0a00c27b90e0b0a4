#include "host/cgi_request.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/cgi_escape.h"
#include "host/find_bytes.h"
#include "host/site.h"
#include "host/status_answer.h"

namespace {

// ---- small text helpers ----

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// ---- header parameters: `type; name=value; name="quoted value"` ----

// The type of a header value: the text before the first ";", trimmed.
std::string_view HeaderType(std::string_view value) {
  return Trim(value.substr(0, value.find(';')));
}

// Where the quoted string that opens before `from` ends: the first '"' after
// which only blanks stand before a ";" or the end. Browsers send a file name's
// backslashes unescaped ("C:\dir\a.txt", even "C:\dir\"), so a backslash does
// not escape the next byte; npos when no quote ends it.
std::size_t ClosingQuote(std::string_view text, std::size_t from) {
  for (std::size_t i = text.find('"', from); i != std::string_view::npos;
       i = text.find('"', i + 1)) {
    std::size_t j = i + 1;
    while (j < text.size() && IsBlank(text[j])) ++j;
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

struct Param {
  std::string_view name;
  std::string value;
};

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
    p.name = Trim(value.substr(pos, end - pos));
    pos = end + 1;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    if (pos < value.size() && value[pos] == '"') {
      std::size_t close = ClosingQuote(value, pos + 1);
      if (close == std::string_view::npos) {
        // An unterminated quote runs to the end of the header.
        p.value = Unquote(Trim(value.substr(pos + 1)));
        pos = std::string_view::npos;
      } else {
        p.value = Unquote(value.substr(pos + 1, close - pos - 1));
        pos = value.find(';', close);
      }
    } else {
      std::size_t semi = value.find(';', pos);
      p.value = std::string(Trim(
          value.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos)));
      pos = semi;
    }
    if (!p.name.empty()) params.push_back(std::move(p));
  }
  return params;
}

const Param* FindParam(const std::vector<Param>& params, std::string_view name) {
  for (const Param& p : params) {
    if (SameNoCase(p.name, name)) return &p;
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

// ---- multipart ----

enum class LineKind { kNotDelimiter, kDelimiter, kClose, kUnterminated };

// What the line that begins with "--boundary" at `pos` is. A delimiter line
// may carry blanks (transport padding) before its line end; `*next` is then
// the first byte after it.
LineKind DelimiterLine(std::string_view body, std::size_t pos, std::size_t dash_len,
                       std::size_t* next) {
  std::size_t p = pos + dash_len;
  if (body.substr(p, 2) == "--") return LineKind::kClose;
  while (p < body.size() && IsBlank(body[p])) ++p;
  if (p == body.size()) return LineKind::kUnterminated;
  if (body[p] == '\n') {
    *next = p + 1;
    return LineKind::kDelimiter;
  }
  if (body[p] == '\r') {
    if (p + 1 == body.size()) return LineKind::kUnterminated;
    if (body[p + 1] == '\n') {
      *next = p + 2;
      return LineKind::kDelimiter;
    }
  }
  return LineKind::kNotDelimiter;
}

struct Delimiter {
  std::size_t line_break = 0;  // the LF before "--boundary"
  LineKind kind = LineKind::kNotDelimiter;
  std::size_t next = 0;
};

// The next delimiter line whose "\n--boundary" begins at or after `from`;
// kind kNotDelimiter when there is none. The search only goes forward and
// stops only where "\n--boundary" stands, so a body is scanned once however
// many line breaks or near-delimiters its data holds.
Delimiter FindDelimiter(std::string_view body, std::string_view nl_dash, std::size_t from) {
  const std::string_view dash = nl_dash.substr(1);
  Delimiter d;
  while (from < body.size()) {
    const char* hit =
        FindBytes(body.data() + from, body.size() - from, nl_dash.data(), nl_dash.size());
    if (hit == nullptr) break;
    std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - body.data());
    from = lf + 1;
    d.kind = DelimiterLine(body, from, dash.size(), &d.next);
    if (d.kind != LineKind::kNotDelimiter) {
      d.line_break = lf;
      return d;
    }
  }
  d.kind = LineKind::kNotDelimiter;
  return d;
}

struct Header {
  std::string name;
  std::string value;
};

// Reads the header block of a part starting at `*pos` up to and including its
// blank line, which leaves `*pos` at the part's data. A block is a run of
// "Name: value" lines (folded lines continue a value); anything else before
// the blank line, or the end of the body, means the part has no headers.
RequestError ReadHeaderBlock(std::string_view body, std::size_t* pos, std::string_view dash,
                             std::size_t max_block, std::vector<Header>& headers) {
  const std::size_t block_start = *pos;
  const std::size_t window_end =
      max_block >= body.size() - block_start ? body.size() : block_start + max_block;
  std::size_t line_start = block_start;
  for (;;) {
    const void* hit = std::memchr(body.data() + line_start, '\n', window_end - line_start);
    if (hit == nullptr) {
      return window_end == body.size() ? RequestError::kPartWithoutHeaders
                                       : RequestError::kHeaderTooLarge;
    }
    std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - body.data());
    std::string_view line = body.substr(line_start, lf - line_start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line_start = lf + 1;
    if (line.empty()) {
      *pos = line_start;
      return RequestError::kOk;
    }
    if (line.substr(0, dash.size()) == dash) return RequestError::kPartWithoutHeaders;
    if (IsBlank(line.front())) {
      if (headers.empty()) return RequestError::kPartWithoutHeaders;
      headers.back().value += ' ';
      headers.back().value += Trim(line);
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return RequestError::kPartWithoutHeaders;
    headers.push_back(
        {std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
  }
}

// Fills name, file name and content type of a part from its headers.
void DescribePart(const std::vector<Header>& headers, FormPart& part) {
  for (const Header& h : headers) {
    if (SameNoCase(h.name, "Content-Type")) {
      part.content_type = h.value;
    } else if (SameNoCase(h.name, "Content-Disposition")) {
      std::vector<Param> params = HeaderParams(h.value);
      if (const Param* p = FindParam(params, "name")) part.name = p->value;
      if (const Param* p = FindParam(params, "filename")) {
        part.filename = p->value;
        part.has_filename = true;
      } else if (const Param* ext = FindParam(params, "filename*")) {
        part.filename = ExtValue(ext->value);
        part.has_filename = true;
      }
    }
  }
}

RequestError ParseParts(std::string_view body, std::string_view boundary,
                        const RequestLimits& limits, std::vector<FormPart>& parts,
                        std::vector<std::size_t>& offsets) {
  const std::string nl_dash = "\n--" + std::string(boundary);
  const std::string_view dash = std::string_view(nl_dash).substr(1);

  // The first delimiter; what stands before it is a preamble.
  Delimiter d;
  if (body.substr(0, dash.size()) == dash) {
    d.kind = DelimiterLine(body, 0, dash.size(), &d.next);
  }
  if (d.kind == LineKind::kNotDelimiter) d = FindDelimiter(body, nl_dash, 0);

  for (;;) {
    switch (d.kind) {
      case LineKind::kClose:
        return RequestError::kOk;
      case LineKind::kNotDelimiter:
      case LineKind::kUnterminated:
        return RequestError::kNoClosingBoundary;
      case LineKind::kDelimiter:
        break;
    }
    if (parts.size() >= limits.max_parts) return RequestError::kTooManyParts;

    std::size_t pos = d.next;
    std::vector<Header> headers;
    RequestError e = ReadHeaderBlock(body, &pos, dash, limits.max_header_block, headers);
    if (e != RequestError::kOk) return e;
    FormPart part;
    DescribePart(headers, part);

    // The blank line's LF may itself be the line break before the next
    // delimiter (a part with empty data sent without its own CRLF).
    d = FindDelimiter(body, nl_dash, pos - 1);
    if (d.kind == LineKind::kNotDelimiter || d.kind == LineKind::kUnterminated) {
      return RequestError::kNoClosingBoundary;
    }
    std::size_t start = pos;
    std::size_t end = d.line_break;  // the data ends before CRLF or LF
    if (end < start) {
      start = end;  // empty data; its NUL goes on that LF
    } else if (end > start && body[end - 1] == '\r') {
      --end;
    }
    part.length = end - start;
    offsets.push_back(start);
    parts.push_back(std::move(part));
  }
}

// ---- the process-wide request and its name index ----

struct State {
  Request req;
  // (name, index) of every variable and part, sorted: a name's entries are
  // adjacent and in arrival order.
  std::vector<std::pair<std::string_view, std::size_t>> vars;
  std::vector<std::pair<std::string_view, std::size_t>> parts;
};

State& Current() {
  static State state;
  return state;
}

using IndexIt = std::vector<std::pair<std::string_view, std::size_t>>::const_iterator;

// The entry `nth` of `name` in an index, or end.
IndexIt IndexFind(const std::vector<std::pair<std::string_view, std::size_t>>& index,
                  std::string_view name, std::size_t nth) {
  auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(name, std::size_t{0}));
  if (static_cast<std::size_t>(index.end() - it) <= nth) return index.end();
  it += static_cast<std::ptrdiff_t>(nth);
  return it->first == name ? it : index.end();
}

// CONTENT_LENGTH: decimal digits only. Values too large for size_t are over
// any limit.
bool ParseLength(std::string_view text, std::size_t* out) {
  if (text.empty()) return false;
  std::size_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    std::size_t digit = static_cast<std::size_t>(c - '0');
    v = v > (SIZE_MAX - digit) / 10 ? SIZE_MAX : v * 10 + digit;
  }
  *out = v;
  return true;
}

}  // namespace

const char* RequestErrorStatus(RequestError e) {
  switch (e) {
    case RequestError::kOk:
      return "200 OK";
    case RequestError::kBodyTooLarge:
      return "413 Payload Too Large";
    case RequestError::kMethodNotAllowed:
      return "405 Method Not Allowed";
    default:
      return "400 Bad Request";
  }
}

const char* RequestErrorReason(RequestError e) {
  switch (e) {
    case RequestError::kOk:
      return "OK";
    case RequestError::kBodyTooLarge:
      return "The request body is larger than this site accepts.";
    case RequestError::kNoBoundary:
      return "The multipart request has no usable boundary.";
    case RequestError::kNoClosingBoundary:
      return "The multipart request ends without its closing boundary.";
    case RequestError::kPartWithoutHeaders:
      return "A part of the multipart request has no header block.";
    case RequestError::kHeaderTooLarge:
      return "A part of the multipart request has too large a header block.";
    case RequestError::kTooManyParts:
      return "The multipart request has too many parts.";
    case RequestError::kTruncatedBody:
      return "The request body is shorter than its Content-Length.";
    case RequestError::kBadContentLength:
      return "The Content-Length is not a number.";
    case RequestError::kMethodNotAllowed:
      return "Only GET, HEAD and POST requests are accepted.";
  }
  return "Bad request.";
}

void ParseUrlEncoded(std::string_view text, Request& req) {
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    std::size_t eq = pair.find('=');
    std::string name(pair.substr(0, eq));
    std::string value(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    MCGI_URIUnescape(name);
    MCGI_URIUnescape(value);
    req.vars.emplace_back(std::move(name), std::move(value));
  }
}

RequestError ParseMultipart(std::string_view content_type, const RequestLimits& limits,
                            Request& req) {
  std::string boundary = BoundaryOf(content_type);
  if (boundary.empty()) return RequestError::kNoBoundary;
  std::vector<FormPart> parts;
  std::vector<std::size_t> offsets;
  RequestError e = ParseParts(req.body, boundary, limits, parts, offsets);
  if (e != RequestError::kOk) return e;

  // The byte after each part's data is the CR or LF before the next
  // delimiter (already matched), so it can become the data's NUL.
  for (std::size_t i = 0; i < parts.size(); ++i) {
    FormPart& part = parts[i];
    req.body[offsets[i] + part.length] = '\0';
    part.data = req.body.data() + offsets[i];
    if (!part.has_filename && !part.name.empty()) {
      req.vars.emplace_back(part.name, std::string(part.data, part.length));
    }
    req.parts.push_back(std::move(part));
  }
  return RequestError::kOk;
}

RequestError ReadBody(int fd, std::size_t length, RequestBody& body) {
  body.clear();
  if (body.MapFile(fd, length)) return RequestError::kOk;
  if (!body.Allocate(length)) return RequestError::kBodyTooLarge;
  std::size_t got = 0;
  while (got < length) {
    ssize_t n = read(fd, body.data() + got, length - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      body.Truncate(got);
      return RequestError::kTruncatedBody;
    }
  }
  return RequestError::kOk;
}

RequestError LoadRequest(const host::CgiEnv& env, int fd, const RequestLimits& limits,
                         Request& req) {
  const std::string& method = env.request_method;
  if (method != "GET" && method != "HEAD" && method != "POST") {
    return RequestError::kMethodNotAllowed;
  }
  ParseUrlEncoded(env.query_string, req);
  if (method != "POST") return RequestError::kOk;

  std::size_t length = 0;
  if (!env.content_length.empty() && !ParseLength(env.content_length, &length)) {
    return RequestError::kBadContentLength;
  }
  if (length > limits.max_body) return RequestError::kBodyTooLarge;
  if (length > 0) {
    RequestError e = ReadBody(fd, length, req.body);
    if (e != RequestError::kOk) return e;
  }

  std::string_view type = HeaderType(env.content_type);
  if (SameNoCase(type, "application/x-www-form-urlencoded")) {
    ParseUrlEncoded(req.body.view(), req);
  } else if (SameNoCase(type, "multipart/form-data")) {
    return ParseMultipart(env.content_type, limits, req);
  }
  return RequestError::kOk;
}

RequestError MCGI_Load() {
  RequestLimits limits;
  std::int64_t kb = std::max<std::int64_t>(GINI().request_max_kb, 0);
  limits.max_body = static_cast<std::uint64_t>(kb) > SIZE_MAX / 1024
                        ? SIZE_MAX
                        : static_cast<std::size_t>(kb) * 1024;
  Request req;
  RequestError e = LoadRequest(host::Env(), STDIN_FILENO, limits, req);
  if (e != RequestError::kOk) {
    PrintStatusAnswer(RequestErrorStatus(e), RequestErrorReason(e));
    MCGI_SetRequest(Request());
    return e;
  }
  MCGI_SetRequest(std::move(req));
  return RequestError::kOk;
}

void MCGI_SetRequest(Request req) {
  State& s = Current();
  s.req = std::move(req);
  s.vars.clear();
  s.parts.clear();
  s.vars.reserve(s.req.vars.size());
  for (std::size_t i = 0; i < s.req.vars.size(); ++i) s.vars.emplace_back(s.req.vars[i].first, i);
  s.parts.reserve(s.req.parts.size());
  for (std::size_t i = 0; i < s.req.parts.size(); ++i) s.parts.emplace_back(s.req.parts[i].name, i);
  std::sort(s.vars.begin(), s.vars.end());
  std::sort(s.parts.begin(), s.parts.end());
}

const Request& MCGI_Request() {
  return Current().req;
}

const char* MCGI_VarStrGet(std::string_view name, int flags) {
  int cursor = 0;
  return MCGI_VarStrMGet(name, &cursor, flags);
}

int MCGI_VarIntGet(std::string_view name, int def) {
  const char* value = MCGI_VarStrGet(name);
  if (value == nullptr) return def;
  std::string digits(Trim(value));
  // strtol would also skip other white space and stop at trailing text; both
  // make the value not a number here.
  if (digits.empty() || !(digits[0] == '-' || digits[0] == '+' ||
                          std::isdigit(static_cast<unsigned char>(digits[0])))) {
    return def;
  }
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(digits.c_str(), &end, 10);
  if (end != digits.c_str() + digits.size() || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
    return def;
  }
  return static_cast<int>(v);
}

const char* MCGI_VarStrMGet(std::string_view name, int* cursor, int flags) {
  if (cursor == nullptr || *cursor < 0) return nullptr;
  const State& s = Current();
  auto it = IndexFind(s.vars, name, static_cast<std::size_t>(*cursor));
  if (it == s.vars.end()) return nullptr;
  ++*cursor;
  return s.req.vars[it->second].second.c_str();
}

int MCGI_FileGet(std::string_view name, const char** filename, const char** data,
                 std::int64_t* length) {
  const State& s = Current();
  auto it = IndexFind(s.parts, name, 0);
  const FormPart* part = it == s.parts.end() ? nullptr : &s.req.parts[it->second];
  if (filename) *filename = part ? part->filename.c_str() : "";
  if (data) *data = part && part->data ? part->data : "";
  if (length) *length = part ? static_cast<std::int64_t>(part->length) : 0;
  return part ? 0 : -1;
}
