// The compose and send page, "uploadsend.dat", with which every request ends:
// the header fields, the body, the send mode, the attachment list, the limits
// and the page code.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/attach/attach_list.h"
#include "common/intake/fetch/fetched_url.h"
#include "common/intake/page/list_page.h"
#include "common/intake/page_codes.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"
#include "uploadsend/state.h"

namespace {

// Every variable the page binds from text is bound, if only to "": a page
// never shows a variable's name in place of an absent value.
void BindText(OML_Handle& page, std::string_view name, std::string_view value) {
  OML_StrDup(page, name, value);
}

bool StartsWith(const char* text, std::string_view prefix) {
  return text && std::string_view(text).starts_with(prefix);
}

// The header fields: each escaped for HTML ("$to") and percent-encoded for a
// URL ("$encto"), whole; absent ones are empty.
void BindHeaderFields(OML_Handle& page) {
  static constexpr const char* kFields[] = {"to", "cc", "bcc", "subject"};
  for (const char* field : kFields) {
    const char* value = MCGI_VarStrGet(field, 0);
    std::string_view text = value ? value : "";
    BindText(page, std::string("$enc") + field, MCGI_URIEscapeStr(text));
    BindText(page, std::string("$") + field, HtmlEscape(text));
  }
}

// The send mode's blocks: the one "act" names is shown, the others hidden;
// a page send also tells what became of its uploads.
void BindSendMode(OML_Handle& page, const US_State& st) {
  const char* act = MCGI_VarStrGet("act", 0);
  std::string_view mode = act ? act : "";
  static constexpr const char* kModes[] = {"send", "pgsend", "mtsend", "tfsend"};
  std::string_view shown = "send";
  for (const char* m : kModes) {
    if (mode == m) shown = m;
  }
  for (const char* m : kModes) {
    if (shown != m) OML_IntSet(page, std::string("$if") + m, 2);
  }
  if (shown != "pgsend") return;
  OML_IntSet(page, st.body_taken ? "$ifnedit" : "$ifedit", 2);
  OML_IntSet(page, st.link_seen ? "$ifnurl" : "$ifurl", 2);
  OML_IntSet(page, st.html_seen ? "$ifnhtml" : "$ifhtml", 2);
  if (st.body_name) BindText(page, "$purefname", HtmlEscape(*st.body_name));
}

// Most loop steps a page may take: a template whose loops nest in ways no
// page needs (a loop inside one of the same name) still ends.
constexpr int kMaxSteps = 100000;

struct Loops {
  OML_Handle& page;
  int steps = 0;

  bool Step(std::string& met) { return ++steps <= kMaxSteps && OML_Execute(page, &met) != 0; }

  // Runs the loop the template stopped at: a "$floop..." loop once per
  // attachment, with "$if1st" shown for the first and "$ifn1st" for the others
  // and "$purefname" the entry's name; any other loop is closed at once and
  // renders nothing.
  void Run(const std::string& name, int depth) {
    if (name.starts_with("$floop") && depth < OML_MAX_DEPTH) {
      const AttachTable& t = ATT_Table();
      for (int i = 0; i < t.count && steps <= kMaxSteps; ++i) {
        OML_IntSet(page, i == 0 ? "$ifn1st" : "$if1st", 2);
        OML_IntSet(page, i == 0 ? "$if1st" : "$ifn1st", 1);
        BindText(page, "$purefname", intake::DisplayName(t.records[i]));
        Iterate(name, depth);
      }
    }
    OML_ExitLoop(page);
  }

  // Renders one pass of the open loop `name`; loops met on the way run in
  // turn.
  void Iterate(const std::string& name, int depth) {
    std::string met;
    while (Step(met) && met != name) Run(met, depth + 1);
  }
};

void RunTemplate(OML_Handle& page) {
  Loops loops{page};
  std::string met;
  while (loops.Step(met)) loops.Run(met, 0);
  // Past the step limit (loops of one name inside each other): the rest of
  // the page renders with every loop it meets closed at once.
  while (OML_Execute(page, &met) != 0) OML_ExitLoop(page);
}

}  // namespace

void US_RenderPage(int error) {
  const US_State& st = US_GetState();
  const Session& s = session();
  std::string path = s.template_dir + "/uploadsend.dat";
  OML_Handle page;
  if (OML_Open(path, 1, page) != 0) {
    intake::ExitMissingTemplate();
  }
  form_setdefault(page);

  // Done: an import, or a fresh window, that went through.
  bool done_kind =
      StartsWith(st.atid, "axcompose") || (st.atid && std::strcmp(st.atid, "compose") == 0);
  if (done_kind) {
    OML_IntSet(page, error == intake::kCodeOk ? "$ifndone" : "$ifdone", 2);
  } else {
    OML_IntSet(page, "$ifdone", 2);
  }

  BindHeaderFields(page);
  const char* content = MCGI_VarStrGet("content", 0);
  std::string_view body = content && *content ? std::string_view(content)
                          : st.body           ? std::string_view(*st.body)
                                              : std::string_view();
  BindText(page, "$content", intake::EscapeInPieces(body));
  BindText(page, "$purefname", "");
  BindSendMode(page, st);

  // The page names its window "compose<id>", which continues it.
  std::string atid = st.atid ? st.atid : "";
  if (StartsWith(st.atid, "axcompose") || StartsWith(st.atid, "compose")) {
    OML_IntSet(page, "$ifncompose", 2);
    if (atid.starts_with("axcompose")) atid.erase(0, 2);
    if (st.fresh_window) atid = "compose" + *st.cpid;
  } else {
    OML_IntSet(page, "$ifcompose", 2);
  }

  const AttachTable& t = ATT_Table();
  OML_IntSet(page, "$hasdata", 1);
  OML_IntSet(page, "$ifhelp", 1);
  OML_IntSet(page, t.count > 0 ? "$ifhelp" : "$hasdata", 2);
  OML_IntSet(page, "$ERRORMSG", error);
  intake::BindList(page);
  BindText(page, "$MCC_IsHtml", "");
  BindText(page, "$atid", HtmlEscape(atid));
  BindText(page, "$encatid", MCGI_URIEscapeStr(atid));
  BindText(page, "$cpid", st.cpid ? HtmlEscape(*st.cpid) : std::string());
  BindText(page, "$virusfile", HtmlEscape(purename(st.refused_name)));
  BindText(page, "$virusmsg", st.virus ? HtmlEscape(*st.virus) : std::string());
  if (st.fetch_message == intake::FetchMessage::kNone) {
    OML_IntSet(page, "$iffetcherror", 2);
    BindText(page, "$fetcherror", "");
  }
  intake::BindFetchError(page, st.fetch_message, st.fetch_status);

  RunTemplate(page);
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}
