// The note page of the attachment window ("mnote.dat"): the user's note
// folders and the notes of one of them to choose; the choice is posted back
// to attachdesk as the memo note source ("mnote").
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "attachdesk/admission/state.h"
#include "attachdesk/admission/window_values.h"
#include "attachdesk/cabinet/cabinet.h"
#include "attachdesk/notes/notes.h"
#include "common/cabinet/text/dc_text.h"
#include "common/intake/page/list_page.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/charset.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"

namespace {

// Why no notes are listed ("$NMSG").
enum Message { kListed = 0, kNoNotes = 1, kNoFolder = 2 };

constexpr OML_Decl kDecls[] = {
    {"$atid", OML_TEXT, ""},       {"$encatid", OML_TEXT, ""},     {"$ishtml", OML_TEXT, ""},
    {"$auth", OML_TEXT, ""},       {"$dcargs", OML_TEXT, ""},      {"$cate", OML_TEXT, ""},
    {"$NMSG", OML_SELECT, "0"},    {"$CROOT", OML_SELECT, "0"},    {"$iffolders", OML_BLOCK, "2"},
    {"$ifnotes", OML_BLOCK, "2"},  {"$ifnonotes", OML_BLOCK, "2"}, {"$fname", OML_TEXT, ""},
    {"$encfname", OML_TEXT, ""},   {"$FROOT", OML_SELECT, "0"},    {"$fcurrent", OML_TEXT, ""},
    {"$fnotes", OML_INT, "0"},     {"$nkey", OML_TEXT, ""},        {"$ntitle", OML_TEXT, ""},
    {"$nfile", OML_TEXT, ""},      {"$ntime", OML_TEXT, ""},       {"$nsize", OML_TEXT, ""},
    {"$nid", OML_INT, "0"},
};

// A note's text field in the user's charset, HTML-escaped; as it is when it
// cannot be converted.
std::string Shown(const std::string& text, int from, int to) {
  std::string converted;
  if (from != 0 && from != to && MLC_Text2UEnc(text, converted, from, to) == 0) {
    return HtmlEscape(converted);
  }
  return HtmlEscape(text);
}

}  // namespace

void AD_NotePage() {
  const Session& s = session();
  const int user_value = MLC_CharsetWEncToValue(UserCharset());

  const std::vector<MNOTE_Folder> folders = MNOTE_Folders(s.user_id);
  const char* asked = MCGI_VarStrGet("cate", 0);
  std::string cate = asked ? asked : "";
  // Without a choice, the first folder that holds notes.
  if (!asked) {
    auto with_notes =
        std::find_if(folders.begin(), folders.end(), [](const MNOTE_Folder& f) { return f.notes; });
    if (with_notes != folders.end()) cate = with_notes->name;
  }
  auto current = std::find_if(folders.begin(), folders.end(),
                              [&](const MNOTE_Folder& f) { return f.name == cate; });
  const bool any = std::any_of(folders.begin(), folders.end(),
                               [](const MNOTE_Folder& f) { return f.notes > 0; });

  Message message = kListed;
  std::vector<MNOTE_Entry> notes;
  if (!any) {
    message = kNoNotes;
  } else if (current == folders.end()) {
    message = kNoFolder;
  } else {
    MNOTE_Context context;
    if (MNOTE_Open(&context, current->path.c_str(), 0) == kMnoteOk &&
        MNOTE_Load(&context) == kMnoteOk) {
      for (MNOTE_Entry& e : context.entries) {
        if (!e.deleted() && MNOTE_KeyUsable(e.key)) notes.push_back(std::move(e));
      }
    }
    MNOTE_Close(&context);
  }

  std::string path = s.template_dir + "/mnote.dat";
  OML_Handle page;
  if (OML_Init(path, 1, page, kDecls) != 0) intake::ExitMissingTemplate();
  form_setdefault(page);
  std::printf("Cache-Control: no-cache\n");
  AD_BindWindowValues(page);
  OML_StrDup(page, "$cate", HtmlEscape(cate));
  OML_IntSet(page, "$CROOT", cate.empty() ? 1 : 0);
  OML_IntSet(page, "$NMSG", message);
  if (any) OML_IntSet(page, "$iffolders", 1);
  if (message == kListed) OML_IntSet(page, notes.empty() ? "$ifnonotes" : "$ifnotes", 1);

  std::string loop;
  while (OML_Execute(page, &loop) != 0) {
    if (loop == "$folders") {
      for (const MNOTE_Folder& f : folders) {
        OML_StrDup(page, "$fname", HtmlEscape(f.name));
        OML_StrDup(page, "$encfname", MCGI_URIEscapeStr(f.name));
        OML_IntSet(page, "$FROOT", f.name.empty() ? 1 : 0);
        OML_StrDup(page, "$fcurrent", f.name == cate ? " aria-current=page" : "");
        OML_IntSet(page, "$fnotes", static_cast<int>(f.notes));
        OML_Execute(page);
      }
    } else if (loop == "$notes") {
      int id = 0;
      for (const MNOTE_Entry& e : notes) {
        const int from = *MLC_CharsetToWEncName(e.charset) ? e.charset : user_value;
        const std::string file = AD_NoteFileName(e, from);
        OML_StrDup(page, "$nkey", HtmlEscape(e.key));
        OML_StrDup(page, "$ntitle", e.dated ? Shown(file.substr(0, file.size() - 4), 0, user_value)
                                            : Shown(e.title, from, user_value));
        OML_StrDup(page, "$nfile", Shown(file, from, user_value));
        OML_StrDup(page, "$ntime",
                   DC_FormatTime(static_cast<std::time_t>(e.mtime), kDcTimeMinutes).value_or(""));
        OML_StrDup(page, "$nsize", DC_FormatSize(e.length, kDcSizeUnits).value_or(""));
        OML_IntSet(page, "$nid", id++);
        OML_Execute(page);
      }
    }
    OML_ExitLoop(page);
  }
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}
