// The virus check of a new file of the attachment window.
#include "common/intake/store/virus_check.h"
#include "attachdesk/admission/admission.h"

int AD_VirusCheck(const char* name, const char* data, std::int64_t length,
                  std::optional<std::string>& virus) {
  return intake::ScanNewFile(name, data, length, virus);
}
