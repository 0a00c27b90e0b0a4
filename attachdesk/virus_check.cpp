// The virus check of a new file of the attachment window.
#include "common/intake/virus_check.h"
#include "attachdesk/handlers.h"

int AD_VirusCheck(const char* name, const char* data, std::int64_t length,
                  std::optional<std::string>& virus) {
  return intake::ScanNewFile(name, data, length, virus);
}
