#include "common/intake/compose_id.h"

#include <cstdint>

#include "host/cgi/cgi_request.h"
#include "host/cgi/status_answer.h"

namespace intake {

bool IsValidComposeId(std::string_view cpid) {
  if (cpid.size() > kComposeIdMax || cpid == "." || cpid == "..") return false;
  for (unsigned char c : cpid) {
    if (c == '/' || c == '_' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool AcceptComposeId(std::string_view cpid) {
  if (IsValidComposeId(cpid)) return true;
  PrintStatusAnswer("400 Bad Request", "The compose identifier is not valid.");
  return false;
}

const char* TextOrPart(std::string_view name) {
  const char* value = MCGI_VarStrGet(name, 0);
  if (value && *value) return value;
  const char* filename = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  if (MCGI_FileGet(name, &filename, &data, &length) == 0 && data) return data;
  return value;
}

}  // namespace intake
