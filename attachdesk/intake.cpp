// attach_main: the intake of one request from the list's loading to the page.
// The sources only admit files and record how the request ends; the list is
// written once, and the page rendered once, here.
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "attachdesk/admission/state.h"
#include "attachdesk/cabinet/cabinet.h"
#include "attachdesk/notes/notes.h"
#include "attachdesk/window.h"
#include "common/attach/attach_list.h"
#include "common/intake/store/list_write.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"

namespace {

bool Present(const char* name) {
  return MCGI_VarStrGet(name, 0) != nullptr;
}

bool Init() {
  const char* init = MCGI_VarStrGet("init", 0);
  return init && *init;
}

enum class Source { kCabinet, kNotes, kCalendar, kForm };

// One source per request, by the first of these variables present.
Source ChosenSource() {
  if (Present("doc")) return Source::kCabinet;
  if (Present("mnote")) return Source::kNotes;
  if (Present("cal")) return Source::kCalendar;
  return Source::kForm;
}

// Whether the request can change the list: it names positions to remove,
// sends upload fields or a URL, or names files of another source. A plain
// page request takes no turn.
bool MayChangeList() {
  if (Init()) return false;
  if (Present("choice") || ChosenSource() != Source::kForm) return true;
  for (const FormPart& part : MCGI_Request().parts) {
    if (part.name.starts_with("newfile")) return true;
  }
  return false;
}

// Writes the list back when the request changed it. When it cannot be
// written, the copies this request stored are removed (the list on disk does
// not name them), the table is read again so that the page shows what is
// kept, and the user is told.
void WriteList(AD_Intake& in) {
  if (in.list_path.empty() || !in.changed) return;
  if (intake::WriteListOrUndo(in.list_path, in.stored, "attach_main") != kAdOk) {
    in.outcome = AD_Outcome{kAdListNotSaved, {}, {}};
  }
}

// Text already collected for the message body goes to the page, also when a
// later file of the request is refused: the user must not lose it.
void HandOverInsertedText(AD_Intake& in) {
  if (!in.insertion.data.empty()) {
    MEM_WFPPrintf(in.insertion, "%c", 0);
    AD_GetState().ins_text = std::string(in.insertion.data.c_str());  // the text up to its NUL
  }
  MEM_WFPClose(in.insertion);
}

AD_Outcome RunIntake(AD_Intake& in) {
  AD_State& st = AD_GetState();
  // Export names become file names: all are checked before any file is
  // looked for, locked or written.
  if (!Init() && ChosenSource() == Source::kCalendar && !AD_CalendarNamesAccepted()) host::Exit(1);
  MEM_WFPOpen(in.insertion);

  // Without a compose identifier there is no list file: the page shows an
  // empty list and nothing is written.
  if (st.cpid) {
    in.list_path = ATT_ListPath(st.cpid->c_str());
    if (MayChangeList()) in.turn.emplace(in.list_path);
    ATT_ListRead(in.list_path);
  } else {
    ATT_Table().count = 0;
  }
  if (Init()) return {};

  in.pid = static_cast<int>(getpid());
  for (int i = 0; i < ATT_Table().count; ++i) in.total += ATT_Table().records[i].size;

  switch (ChosenSource()) {
    case Source::kCabinet:
      AD_CabinetSource();
      break;
    case Source::kNotes:
      AD_NoteSource();
      break;
    case Source::kCalendar:
      AD_CalendarSource();
      break;
    case Source::kForm:
      AD_FormSource();
      break;
  }

  WriteList(in);
  HandOverInsertedText(in);
  if (in.outcome.code == kAdOk && in.empty_upload) in.outcome.code = in.empty_upload;
  return in.outcome;
}

}  // namespace

void attach_main() {
  if (Present("dcview")) AD_CabinetPage();
  if (Present("mnoteview")) AD_NotePage();
  AD_Outcome outcome;
  {
    AD_Intake intake;
    AD_RunningIntake running(intake);
    outcome = RunIntake(intake);
  }  // the window's turn is handed on, an unlisted fetched file is gone
  AD_State& st = AD_GetState();
  if (outcome.virus) st.virus_msg = outcome.virus;
  AD_AttachPage(outcome.code, outcome.name.empty() ? nullptr : outcome.name.c_str(),
                st.virus_msg ? st.virus_msg->c_str() : nullptr);
}
