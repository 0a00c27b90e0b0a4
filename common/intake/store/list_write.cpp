#include "common/intake/store/list_write.h"

#include <unistd.h>

#include "common/attach/attach_list.h"
#include "common/intake/page_codes.h"
#include "host/files/log.h"

namespace intake {

int WriteListOrUndo(const std::string& list_path, std::vector<std::string>& stored,
                    const char* function) {
  if (ATT_ListWrite(list_path) >= 0) return kCodeOk;
  LOG_FileLine(ErrorLogPath(), "%s: the list %s could not be written; %zu new files removed",
               function, list_path.c_str(), stored.size());
  for (const std::string& path : stored) unlink(path.c_str());
  stored.clear();
  ATT_ListRead(list_path);
  return kCodeListNotSaved;
}

}  // namespace intake
