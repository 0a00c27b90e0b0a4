// The virus check of a new file of the attachment window.
#include "attachdesk/handlers.h"
#include "common/intake/virus_check.h"

int AD_VirusCheck(const char* name, const char* data, std::int64_t length,
                  std::optional<std::string>& virus) {
  return intake::ScanNewFile(name, data, length, virus);
}
