#include "common/intake/compose_id.h"

#include <cstdint>

#include "host/cgi/cgi_request.h"
#include "host/cgi/status_answer.h"

namespace intake {

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
