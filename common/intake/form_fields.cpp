#include "common/intake/form_fields.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/attach/attach_list.h"
#include "host/cgi/cgi_request.h"

namespace intake {

int RemoveChosen(ChoiceShift shift) {
  int removed = 0;
  int cursor = 0;
  for (int k = 0;; ++k) {
    const char* value = MCGI_VarStrMGet("choice", &cursor, 0);
    if (value == nullptr) break;
    char* end = nullptr;
    errno = 0;
    long position = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE) continue;  // not a position
    long at = position - (shift == ChoiceShift::kByValueIndex ? k : removed);
    if (at < 0 || at >= ATT_Table().count) continue;
    if (ATT_ListRemove(static_cast<int>(at)) == 1) ++removed;
  }
  return removed;
}

std::string UploadFieldName(int index) {
  std::string field = "newfile";
  if (index > 0 && index < 10) field += '0';
  if (index > 0) field += std::to_string(index);
  return field;
}

bool HasUploadFields() {
  const auto& parts = MCGI_Request().parts;
  return std::any_of(parts.begin(), parts.end(), [](const FormPart& part) {
    return part.name.starts_with("newfile") && part.name != "newfile2";
  });
}

}  // namespace intake
