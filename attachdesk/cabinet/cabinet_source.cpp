// The cabinet source of new files ("doc").
#include <string>

#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "attachdesk/cabinet/cabinet.h"
#include "common/cabinet/cabinet_source.h"
#include "common/mime/types/content_type.h"
#include "host/account/session.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/files/mapped_file.h"

namespace {

// The variable that names the files: "org_name" when the request has it.
const char* NameVariable() {
  return MCGI_VarStrGet("org_name", 0) ? "org_name" : "name";
}

}  // namespace

void AD_CabinetSource() {
  AD_Intake& in = AD_GetIntake();
  const std::optional<DC_SourceFolder> folder = DC_RequestedFolder();
  if (!folder) return;
  const char* base = folder->base;
  const char* dir = folder->dir;
  const char* variable = NameVariable();
  // Without a compose window no file has a list to join.
  if (!AD_GetState().cpid) {
    const char* first = MCGI_VarStrGet(variable, 0);
    if (first && *first) in.outcome.code = kAdNoComposeWindow;
    return;
  }
  int stored = 0;  // numbers the copies actually written
  int cursor = 0;
  while (const char* name = MCGI_VarStrMGet(variable, &cursor, 0)) {
    if (!*name) break;
    MappedFile data;
    std::string path;
    DC_SourceAnswer answer = DC_OpenSourceFile(session().user_id, base, dir, name, data, path);
    if (answer == DC_SourceAnswer::kNoPermission) {
      in.outcome = AD_Outcome{kAdNoPermission, {}, {}};
      return;
    }
    if (answer == DC_SourceAnswer::kSkipped) continue;
    const auto length = static_cast<std::int64_t>(data.size());
    const std::string type = CT_Guess(data.data(), data.size(), name);
    const char* shown = AD_NameForUser(std::string(purename(name)).c_str());
    AD_StoreFn store = AD_NumberedCopy(stored, data.data(), length, shown ? shown : "", "");
    if (AD_Admit(name, data.data(), length, type.c_str(), store, kAdmitTypeNoCase) ==
        AD_Admission::kRefused) {
      return;
    }
  }
}
