#include <cstdint>
#include <cstdio>
#include <string>

#include "attachdesk/admission/state.h"
#include "attachdesk/admission/window_values.h"
#include "attachdesk/cabinet/cabinet.h"
#include "attachdesk/window.h"
#include "common/attach/attach_list.h"
#include "common/attach/notes/memo_note.h"
#include "common/intake/fetch/fetched_url.h"
#include "common/intake/page/list_page.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/site/site.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"

namespace {

constexpr OML_Decl kDecls[] = {
    {"$ERRORMSG", OML_SELECT, "0"}, {"$ifdc", OML_BLOCK, "2"},
    {"$auth", OML_TEXT, ""},        {"$virusfile", OML_TEXT, ""},
    {"$virusmsg", OML_TEXT, ""},    {"$hasdata", OML_BLOCK, "1"},
    {"$ifhelp", OML_BLOCK, "1"},    {"$count", OML_INT, "0"},
    {"$keepname", OML_CALLBACK, nullptr}, {"$choice", OML_CALLBACK, nullptr},
    {"$size", OML_CALLBACK, nullptr},     {"$ishtml", OML_TEXT, ""},
    {"$atid", OML_TEXT, ""},        {"$ifninsert", OML_BLOCK, "1"},
    {"$ifinsert", OML_BLOCK, "1"},  {"$ins_text", OML_TEXT, ""},
    {"$countlimit", OML_INT, "0"},  {"$sizelimit", OML_INT, "0"},
    {"$countleft", OML_INT, "0"},   {"$sizeleft", OML_INT, "0"},
    {"$FETCHMSG", OML_SELECT, "0"}, {"$iffetcherror", OML_BLOCK, "2"},
    {"$fetcherror", OML_TEXT, ""},  {"$fetchstatus", OML_INT, "0"},
    {"$encatid", OML_TEXT, ""},     {"$dcargs", OML_TEXT, ""},
    {"$ifmnote", OML_BLOCK, "2"},
};

std::string Escaped(const char* text) {
  return text ? HtmlEscape(text) : std::string();
}

}  // namespace

void AD_AttachPage(int code, const char* name, const char* virus) {
  const AD_State& st = AD_GetState();
  const Session& s = session();
  bool compose = AD_IsComposeMode();
  if (compose && code <= 0) {
    std::printf("Location: %s/genMail?keep_attach=1&cpid=%s&m=%d\r\n\r\n", "/cgi-bin",
                st.cpid ? st.cpid->c_str() : "", s.m);
    host::Exit(kAdExitComposeRedirect);
  }
  std::string path = s.template_dir + (compose ? "/dc_attach.dat" : "/attach.dat");
  OML_Handle page;
  if (OML_Init(path, 1, page, kDecls) != 0) {
    intake::ExitMissingTemplate();
  }
  form_setdefault(page);
  AD_BindWindowValues(page);
  if (GINI_Level(s.level).flags & kLevelFlagCabinet) OML_IntSet(page, "$ifdc", 1);
  if (MNOTE_HasNotes(s.user_id)) OML_IntSet(page, "$ifmnote", 1);
  const AttachTable& t = ATT_Table();
  OML_IntSet(page, t.count == 0 ? "$hasdata" : "$ifhelp", 2);
  if (code == kAdVirus || code == kAdNotScanned) {
    OML_StrDup(page, "$virusfile", name ? HtmlEscape(purename(name)) : std::string());
    OML_StrDup(page, "$virusmsg", Escaped(virus));
  }
  OML_IntSet(page, "$ERRORMSG", code);
  intake::BindList(page);
  intake::BindFetchError(page, st.fetch_message, st.fetch_status);
  OML_IntSet(page, AD_IsInsertMode() ? "$ifninsert" : "$ifinsert", 2);
  if (st.ins_text) OML_StrDup(page, "$ins_text", intake::EscapeInPieces(*st.ins_text));
  OML_Execute(page);
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}
