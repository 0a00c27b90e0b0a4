#include "host/cgi/cgi_request.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/base/strings.h"
#include "host/cgi/header_params.h"
#include "host/cgi/multipart_parser.h"
#include "host/cgi/status_answer.h"
#include "host/files/root.h"
#include "host/site/site.h"
#include "host/text/cgi_escape.h"

namespace {

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
    case RequestError::kNotLoggedIn:
      return "403 Forbidden";
    case RequestError::kSpoolFailed:
      return "500 Internal Server Error";
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
    case RequestError::kTooManyVariables:
      return "The request has too many variables.";
    case RequestError::kTruncatedBody:
      return "The request body is shorter than its Content-Length.";
    case RequestError::kBadContentLength:
      return "The Content-Length is not a number.";
    case RequestError::kMethodNotAllowed:
      return "Only GET, HEAD and POST requests are accepted.";
    case RequestError::kSpoolFailed:
      return "An uploaded file could not be kept while the request was read.";
    case RequestError::kNotLoggedIn:
      return "You are not logged in.";
  }
  return "Bad request.";
}

void Request::AddVar(std::string_view name, std::string_view value) {
  std::string_view n = Keep(name);
  vars.push_back({n, Keep(value)});
}

RequestError ParseUrlEncodedInPlace(char* text, std::size_t length, const RequestLimits& limits,
                                    Request& req) {
  const std::size_t before = req.vars.size();
  char* const end = text + length;
  for (char* at = text; at < end;) {
    char* amp = static_cast<char*>(std::memchr(at, '&', static_cast<std::size_t>(end - at)));
    if (amp == nullptr) amp = end;
    if (amp == at) {
      ++at;
      continue;
    }
    if (req.vars.size() - before == limits.max_vars) {
      req.vars.resize(before);
      return RequestError::kTooManyVariables;
    }
    char* eq = static_cast<char*>(std::memchr(at, '=', static_cast<std::size_t>(amp - at)));
    char* name_end = eq ? eq : amp;
    // Decoding never lengthens a text, so each NUL lands at or before the
    // "=" or "&" that ended it.
    std::size_t n = MCGI_URIUnescape(at, static_cast<std::size_t>(name_end - at));
    at[n] = '\0';
    FormVar var{{at, n}, {}};
    constexpr std::size_t value_length_none = 0;
    if (eq) {
      char* value = eq + 1;
      std::size_t v = MCGI_URIUnescape(value, static_cast<std::size_t>(amp - value));
      value[v] = '\0';
      var.value = {value, v};
    } else {
      var.value = std::string_view(at + n, value_length_none);  // empty, at the name's NUL
    }
    req.vars.push_back(var);
    at = amp == end ? end : amp + 1;
  }
  return RequestError::kOk;
}

RequestError ParseUrlEncoded(std::string_view text, const RequestLimits& limits, Request& req) {
  if (text.empty()) return RequestError::kOk;
  std::string& copy = req.Keep(text);
  return ParseUrlEncodedInPlace(copy.data(), copy.size(), limits, req);
}

namespace {

// Adds parsed parts to the request; a part without a file name is also a
// variable, whose value is the part's data (followed by its NUL).
void AddParts(std::vector<FormPart> parts, Request& req) {
  for (FormPart& part : parts) {
    if (!part.has_filename && !part.name.empty()) {
      req.vars.push_back({req.Keep(part.name), {part.data, part.length}});
    }
    req.parts.push_back(std::move(part));
  }
}

}  // namespace

RequestError ParseMultipart(std::string_view content_type, const RequestLimits& limits,
                            Request& req) {
  std::string boundary = BoundaryOf(content_type);
  if (boundary.empty()) return RequestError::kNoBoundary;
  std::vector<FormPart> parts;
  RequestError e = ParseMultipartBody(req.body, BodyReader(), 0, boundary, limits, parts);
  if (e == RequestError::kOk) AddParts(std::move(parts), req);
  return e;
}

RequestError ReadBody(int fd, std::size_t length, RequestBody& body) {
  body.clear();
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

RequestError LoadRequest(const host::CgiEnv& env, int fd, const RequestLimits& limits, Request& req,
                         const RequestGate& gate) {
  const std::string& method = env.request_method;
  if (method != "GET" && method != "HEAD" && method != "POST") {
    return RequestError::kMethodNotAllowed;
  }
  if (gate && !gate()) return RequestError::kNotLoggedIn;
  RequestError query = ParseUrlEncoded(env.query_string, limits, req);
  if (query != RequestError::kOk || method != "POST") return query;

  std::size_t length = 0;
  if (!env.content_length.empty() && !ParseLength(env.content_length, &length)) {
    return RequestError::kBadContentLength;
  }
  if (length > limits.max_body) return RequestError::kBodyTooLarge;

  std::string_view type = HeaderType(env.content_type);
  if (EqualsNoCase(type, "multipart/form-data")) {
    std::string boundary = BoundaryOf(env.content_type);
    if (!boundary.empty()) {
      BodyReader reader;
      if (length > 0) reader = [fd](char* into, std::size_t n) { return read(fd, into, n); };
      std::vector<FormPart> parts;
      RequestError e = ParseMultipartBody(req.body, reader, length, boundary, limits, parts);
      if (e == RequestError::kOk) AddParts(std::move(parts), req);
      return e;
    }
  }
  if (length > 0) {
    RequestError e = ReadBody(fd, length, req.body);
    if (e != RequestError::kOk) return e;
  }
  if (EqualsNoCase(type, "application/x-www-form-urlencoded")) {
    return ParseUrlEncodedInPlace(req.body.data(), req.body.size(), limits, req);
  } else if (EqualsNoCase(type, "multipart/form-data")) {
    return RequestError::kNoBoundary;
  }
  return RequestError::kOk;
}

RequestError MCGI_Load(const RequestGate& gate) {
  RequestLimits limits;
  std::int64_t kb = std::max<std::int64_t>(GINI().request_max_kb, 0);
  limits.max_body = static_cast<std::uint64_t>(kb) > SIZE_MAX / 1024
                        ? SIZE_MAX
                        : static_cast<std::size_t>(kb) * 1024;
  limits.spool_dir = host::TmpDir();
  Request req;
  RequestError e =
      LoadRequest(host::Env(), STDIN_FILENO, limits, req, gate);
  if (e != RequestError::kOk) {
    PrintStatusAnswer(RequestErrorStatus(e), RequestErrorReason(e),
                      e == RequestError::kMethodNotAllowed ? "Allow: GET, HEAD, POST\r\n" : "");
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
  for (std::size_t i = 0; i < s.req.vars.size(); ++i) s.vars.emplace_back(s.req.vars[i].name, i);
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
  std::string digits(TrimBlanks(value));
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
  return s.req.vars[it->second].value.data();
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
