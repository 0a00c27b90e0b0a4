// The calendar source of new files ("cal"): exports the calendar program
// leaves in the tmp folder as "cal_<user>_<fname>.ics".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "attachdesk/notes/notes.h"
#include "common/attach/window_names.h"
#include "common/intake/compose_id.h"
#include "common/mime/types/content_type.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/cgi/status_answer.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/files/mapped_file.h"
#include "host/files/root.h"

namespace {

// One-second waits for exports not written yet, shared by all exports of a
// request.
constexpr int kExportWaits = 4;

// Waits while the export does not exist, spending `waits`; false when it is
// still missing (or cannot be looked at).
bool AwaitExport(const std::string& path, int& waits) {
  struct stat st;
  while (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT || waits == 0) return false;
    --waits;
    sleep(1);
  }
  return true;
}

// Maps the export: a regular file, never reached through a link.
bool OpenExport(const std::string& path, MappedFile& data) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return fd.ok() && data.Map(fd.get());
}

}  // namespace

bool AD_CalendarNamesAccepted() {
  int cursor = 0;
  while (const char* fname = MCGI_VarStrMGet("fname", &cursor, 0)) {
    if (!*fname) break;
    if (!intake::IsSafeNamePart(fname)) {
      PrintStatusAnswer("400 Bad Request", "The calendar export name is not valid.");
      return false;
    }
  }
  return true;
}

void AD_CalendarSource() {
  AD_Intake& in = AD_GetIntake();
  const char* first = MCGI_VarStrGet("fname", 0);
  if (!AD_GetState().cpid) {
    if (first && *first) in.outcome.code = kAdNoComposeWindow;
    return;
  }
  std::vector<const char*> titles;
  int title_cursor = 0;
  while (const char* title = MCGI_VarStrMGet("title", &title_cursor, 0)) titles.push_back(title);

  const int user_value = MLC_CharsetWEncToValue(UserCharset());
  int waits = kExportWaits;
  int stored = 0;  // numbers the copies actually written
  std::size_t index = 0;
  int cursor = 0;
  while (const char* fname = MCGI_VarStrMGet("fname", &cursor, 0)) {
    if (!*fname) break;
    const char* title = index < titles.size() ? titles[index] : nullptr;
    ++index;
    const std::string path =
        host::TmpDir() + "/" + window_names::CalendarExportName(session().user_id, fname);
    MappedFile data;
    if (!AwaitExport(path, waits) || !OpenExport(path, data)) continue;

    const std::string full = std::string(title && *title ? title : "untitled") + ".ics";
    const std::string_view last = purename(full);
    const std::string name =
        AD_NameWithExtension(last.substr(0, last.size() - 4), ".ics", user_value);
    const char* shown = AD_NameForUser(name.c_str());
    const auto length = static_cast<std::int64_t>(data.size());
    const char* type = CT_Guess(data.data(), data.size(), name.c_str());
    AD_StoreFn store = AD_NumberedCopy(stored, data.data(), length, shown ? shown : "", "utf-8");
    if (AD_Admit(name.c_str(), data.data(), length, type, store,
                 kAdmitNoDivert | kAdmitNoScan) == AD_Admission::kRefused) {
      return;
    }
  }
}
