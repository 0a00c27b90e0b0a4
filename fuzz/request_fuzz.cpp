// Fuzzes the request parsers. The first line of the input is the
// Content-Type, the rest is the body; limits are small so that their breaches
// are reached too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/cgi_escape.h"
#include "host/cgi_request.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
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
  ParseUrlEncoded(body, req);

  MCGI_SetRequest(std::move(req));
  for (const auto& [name, value] : MCGI_Request().vars) {
    Check(MCGI_VarStrGet(name) != nullptr);
    MCGI_VarIntGet(name, 0);
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
