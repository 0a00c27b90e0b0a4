// Fuzzes the request parsers. The first line of the input is the
// Content-Type, the rest is the body; limits are small so that their breaches
// are reached too. A multipart body is also read in pieces, spooling file data
// as early as it may be, and must parse exactly as it does in memory. The body
// is also parsed as urlencoded, where it stands and from a copy, against a
// plain split-and-decode, and the whole request is loaded from a file with the
// first line as its query string.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/cgi/cgi_request.h"
#include "host/cgi/header_params.h"
#include "host/cgi/multipart_parser.h"
#include "host/text/cgi_escape.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// A folder for spool files (which have no names), made once per run and
// removed at its end.
const char* SpoolDir() {
  static char path[] = "/tmp/request-fuzz.XXXXXX";
  static const bool made = [] {
    if (mkdtemp(path) == nullptr) return false;
    std::atexit([] { rmdir(path); });
    return true;
  }();
  return made ? path : "";
}

// Parses `body` read in pieces of `piece` bytes and checks it against the
// in-memory result.
void CheckStreamed(std::string_view type, std::string_view body, const RequestLimits& limits,
                   RequestError want, const Request& in_memory) {
  std::string boundary = BoundaryOf(type);
  if (boundary.empty()) return;
  const std::size_t piece = 1 + body.size() % 13;
  RequestLimits streaming = limits;
  streaming.spool_dir = SpoolDir();
  streaming.spool_from = 1;
  streaming.spool_step = 1 + body.size() % 5;
  std::size_t at = 0;
  BodyReader reader = [&](char* into, std::size_t n) -> ssize_t {
    std::size_t k = std::min({n, piece, body.size() - at});
    std::memcpy(into, body.data() + at, k);
    at += k;
    return static_cast<ssize_t>(k);
  };
  RequestBody memory;
  std::vector<FormPart> parts;
  RequestError e = ParseMultipartBody(memory, reader, body.size(), boundary, streaming, parts);
  Check(e == want);
  if (e != RequestError::kOk) return;
  Check(parts.size() == in_memory.parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const FormPart& a = parts[i];
    const FormPart& b = in_memory.parts[i];
    Check(a.name == b.name && a.filename == b.filename && a.has_filename == b.has_filename &&
          a.content_type == b.content_type && a.length == b.length);
    Check(memory.Holds(a.data, a.length) && a.data[a.length] == '\0');
    Check(std::memcmp(a.data, b.data, a.length) == 0);
  }
}

// Every variable's name and value is followed by a NUL.
void CheckTerminated(const std::vector<FormVar>& vars) {
  for (const FormVar& v : vars) {
    Check(v.name.data()[v.name.size()] == '\0' && v.value.data()[v.value.size()] == '\0');
  }
}

// The variables of urlencoded `text` the plain way: split, then decode copies.
std::vector<std::pair<std::string, std::string>> SplitAndDecode(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
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
    out.emplace_back(std::move(name), std::move(value));
  }
  return out;
}

// Urlencoded parsing in the body and from a copy agree with SplitAndDecode,
// within the variable limit; over it, nothing is added.
void CheckUrlEncoded(std::string_view body, const RequestLimits& limits) {
  const auto want = SplitAndDecode(body);
  const RequestError want_error =
      want.size() > limits.max_vars ? RequestError::kTooManyVariables : RequestError::kOk;
  Request in_place;
  in_place.body.assign(body);
  in_place.AddVar("before", "1");
  Check(ParseUrlEncodedInPlace(in_place.body.data(), in_place.body.size(), limits, in_place) ==
        want_error);
  Request copied;
  Check(ParseUrlEncoded(body, limits, copied) == want_error);
  if (want_error != RequestError::kOk) {
    Check(in_place.vars.size() == 1 && copied.vars.empty());
    return;
  }
  Check(in_place.vars.size() == want.size() + 1 && copied.vars.size() == want.size());
  CheckTerminated(in_place.vars);
  CheckTerminated(copied.vars);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const FormVar& a = in_place.vars[i + 1];
    Check(in_place.body.Holds(a.name.data(), a.name.size()) &&
          in_place.body.Holds(a.value.data(), a.value.size()));
    Check(a.name == want[i].first && a.value == want[i].second);
    Check(copied.vars[i].name == want[i].first && copied.vars[i].value == want[i].second);
  }
}

// The whole request through LoadRequest, its body on a file.
void CheckLoad(std::string_view type, std::string_view body, const RequestLimits& limits) {
  int fd = memfd_create("request-fuzz", MFD_CLOEXEC);
  if (fd < 0) return;
  bool written =
      body.empty() || write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
  if (written && lseek(fd, 0, SEEK_SET) == 0) {
    host::CgiEnv env;
    env.request_method = "POST";
    env.query_string = type;
    env.content_type = type;
    env.content_length = std::to_string(body.size());
    Request req;
    if (LoadRequest(env, fd, limits, req) == RequestError::kOk) {
      CheckTerminated(req.vars);
      for (const FormPart& p : req.parts) Check(req.body.Holds(p.data, p.length));
    }
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t lf = input.find('\n');
  std::string_view type = input.substr(0, lf);
  std::string_view body = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);

  RequestLimits limits;
  limits.max_body = 1 << 20;
  limits.max_header_block = 512;
  limits.max_parts = 16;
  limits.max_vars = 16;

  Request req;
  req.body.assign(body);
  RequestError e = ParseMultipart(type, limits, req);
  if (e == RequestError::kOk) {
    Check(req.parts.size() <= limits.max_parts);
    for (const FormPart& p : req.parts) {
      Check(p.data >= req.body.data());
      Check(p.data + p.length < req.body.data() + req.body.size());
      Check(p.data[p.length] == '\0');
    }
  } else {
    Check(req.parts.empty() && req.vars.empty());
  }
  if (e != RequestError::kNoBoundary) CheckStreamed(type, body, limits, e, req);
  CheckTerminated(req.vars);
  CheckUrlEncoded(body, limits);
  CheckLoad(type, body, limits);
  (void)ParseUrlEncoded(type, limits, req);

  MCGI_SetRequest(std::move(req));
  // Each name's values come back in order, as the variables' own texts.
  std::map<std::string_view, int> cursors;
  for (const FormVar& v : MCGI_Request().vars) {
    Check(MCGI_VarStrMGet(v.name, &cursors[v.name]) == v.value.data());
    MCGI_VarIntGet(v.name, 0);
  }
  const char* filename = nullptr;
  const char* part = nullptr;
  std::int64_t length = 0;
  for (const FormPart& p : MCGI_Request().parts) {
    Check(MCGI_FileGet(p.name, &filename, &part, &length) == 0);
  }

  std::string round = MCGI_Escape(type);
  MCGI_URIUnescape(round);
  Check(round == type);
  char buf[256];
  std::string html = HtmlEscape(type);
  if (MCGI_HTMLEscape(type, buf, sizeof buf, 0) == 0) {
    Check(html.size() < sizeof buf && html == std::string_view(buf, html.size()));
  } else {
    Check(html.size() >= sizeof buf && buf[0] == '\0');
  }
  MCGI_JSEscape(type);
  return 0;
}
