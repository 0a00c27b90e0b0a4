#include "common/intake/compose_id.h"

namespace intake {

bool IsValidComposeId(std::string_view cpid) {
  if (cpid.size() > kComposeIdMax || cpid == "." || cpid == "..") return false;
  for (unsigned char c : cpid) {
    if (c == '/' || c == '_' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace intake
