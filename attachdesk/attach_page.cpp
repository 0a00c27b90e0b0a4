#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "attachdesk/cabinet.h"
#include "attachdesk/handlers.h"
#include "attachdesk/state.h"
#include "common/attach/attach_list.h"
#include "common/intake/limits.h"
#include "host/account/session.h"
#include "host/base/memstream.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/charset.h"
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
};

constexpr int kNameBuffer = 4096;
constexpr std::size_t kInsChunk = 256;

// The name of a list entry as the page shows it: its last path component,
// converted to the user's charset when the entry names another one, then
// HTML-escaped with its numeric character references kept (the list's way to
// carry characters its charset lacks, "caf&#233;"). Empty when the escape does
// not fit.
std::string DisplayName(const AttachRecord& r) {
  int user_value = MLC_CharsetWEncToValue(UserCharset());
  int entry_value = MLC_CharsetWEncToValue(r.charset);
  std::string name(MLG_ExtractFilename(r.name, user_value));
  if (name.size() >= kNameBuffer) name.resize(kNameBuffer - 1);
  if (user_value != 0 && entry_value != 0 && user_value != entry_value) {
    std::string converted;
    if (MLC_Text2UEnc(name, converted, entry_value, user_value) == 0) name = converted;
  }
  std::string escaped = HtmlEscapeKeepingReferences(name);
  if (escaped.size() >= kNameBuffer) return {};
  return escaped;
}

// The inserted text, escaped chunk by chunk so that a two-byte character is
// never cut. Each chunk's buffer has room for its worst case, so no text is
// dropped.
std::string EscapeInsertedText(const std::string& text) {
  MEM_WFP out;
  MEM_WFPOpen(out);
  std::size_t pos = 0;
  std::string buffer;
  while (pos < text.size()) {
    std::size_t rest = text.size() - pos;
    std::size_t chunk = rest;
    if (rest > kInsChunk) {
      chunk = MLG_IsHalf(text.data() + pos, kInsChunk, 1) ? kInsChunk + 1 : kInsChunk;
    }
    buffer.resize(chunk * 6 + 1);
    if (MCGI_HTMLEscape(std::string_view(text).substr(pos, chunk), buffer.data(), buffer.size(),
                        0) == 0) {
      MEM_WFPPrintf(out, "%s", buffer.c_str());
    }
    pos += chunk;
  }
  std::string result = std::move(out.data);
  MEM_WFPClose(out);
  return result;
}

// The limits of the list and the room left, for the page to show. An
// integer variable holds an int: larger sizes show as INT_MAX.
void BindLimits(OML_Handle& page, const AttachTable& t) {
  auto clamp = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, INT_MAX));
  };
  int count_limit = intake::CountLimit();
  std::int64_t size_limit = intake::SizeLimit();
  std::int64_t listed = 0;
  for (int i = 0; i < t.count; ++i) listed += t.records[i].size;
  OML_IntSet(page, "$countlimit", count_limit);
  OML_IntSet(page, "$sizelimit", clamp(size_limit));
  OML_IntSet(page, "$countleft", std::max(count_limit - t.count, 0));
  OML_IntSet(page, "$sizeleft", clamp(size_limit - listed));
}

std::string Escaped(const char* text) { return text ? HtmlEscape(text) : std::string(); }

// Why the URL was not attached, in words for "$fetcherror".
std::string FetchErrorText(AD_FetchMessage message, long status) {
  switch (message) {
    case AD_FetchMessage::kNone:
      return {};
    case AD_FetchMessage::kScheme:
      return "Only http and https addresses can be attached.";
    case AD_FetchMessage::kAddress:
      return "This server does not fetch files from that address.";
    case AD_FetchMessage::kTooLarge:
      return "The file at that address is larger than this server fetches (" +
             std::to_string(GINI().fetch_max_kb) + " KB).";
    case AD_FetchMessage::kHttpStatus:
      return "The address answered with HTTP status " + std::to_string(status) + ".";
    case AD_FetchMessage::kTimeout:
      return "The address did not answer within " + std::to_string(GINI().fetch_timeout_seconds) +
             " seconds.";
    case AD_FetchMessage::kUnreachable:
      return "The server of that address could not be found or reached.";
    case AD_FetchMessage::kEmpty:
      return "The address answered with an empty file.";
    case AD_FetchMessage::kOther:
      break;
  }
  return "The file at that address could not be fetched.";
}

void BindFetchError(OML_Handle& page, const AD_State& st) {
  if (st.fetch_message == AD_FetchMessage::kNone) return;
  OML_IntSet(page, "$FETCHMSG", static_cast<int>(st.fetch_message));
  OML_IntSet(page, "$iffetcherror", 1);
  OML_StrDup(page, "$fetcherror", HtmlEscape(FetchErrorText(st.fetch_message, st.fetch_status)));
  OML_IntSet(page, "$fetchstatus", static_cast<int>(st.fetch_status));
}

}  // namespace

void AD_PrintKeepNames(void* /*argument*/) {
  const AttachTable& t = ATT_Table();
  for (int i = 0; i < t.count; ++i) {
    std::string name = DisplayName(t.records[i]);
    if (name.empty()) continue;
    std::printf("<input type=hidden name=NN value=\"%s\">\n", name.c_str());
  }
}

void AD_PrintChoices(void* sum_argument) {
  auto* sum = static_cast<std::int64_t*>(sum_argument);
  *sum = 0;
  const AttachTable& t = ATT_Table();
  for (int i = 0; i < t.count; ++i) {
    if (i == 0) std::fputs("<select name=choice size=3 multiple>\n", stdout);
    *sum += t.records[i].size;
    std::string name = DisplayName(t.records[i]);
    if (name.empty()) continue;
    std::printf("<option value=%d>%s,&nbsp; %d bytes</option>\n", i, name.c_str(),
                static_cast<int>(t.records[i].size));
  }
  if (t.count > 0) std::fputs("</select>\n", stdout);
}

void AD_PrintSize(void* sum_argument) {
  std::printf("%lld", static_cast<long long>(*static_cast<std::int64_t*>(sum_argument)));
}

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
    OML_HeaderPrint(kOmlHeaderHtml);
    std::fputs("Missing System File.", stdout);
    host::Exit(1);
  }
  form_setdefault(page);
  if (GINI_Level(s.level).flags & kLevelFlagCabinet) {
    OML_IntSet(page, "$ifdc", 1);
    OML_StrDup(page, "$dcargs", AD_CabinetLinkArgs());
  }
  if (const char* auth = MCGI_VarStrGet("auth", 0)) OML_StrDup(page, "$auth", HtmlEscape(auth));
  const AttachTable& t = ATT_Table();
  OML_IntSet(page, t.count == 0 ? "$hasdata" : "$ifhelp", 2);
  if (code == kAdVirus || code == kAdNotScanned) {
    OML_StrDup(page, "$virusfile", name ? HtmlEscape(purename(name)) : std::string());
    OML_StrDup(page, "$virusmsg", Escaped(virus));
  }
  OML_IntSet(page, "$ERRORMSG", code);
  OML_IntSet(page, "$count", t.count);
  BindLimits(page, t);
  static std::int64_t size_sum = 0;
  OML_FPSet(page, "$keepname", AD_PrintKeepNames, nullptr);
  OML_FPSet(page, "$choice", AD_PrintChoices, &size_sum);
  OML_FPSet(page, "$size", AD_PrintSize, &size_sum);
  OML_StrDup(page, "$ishtml", Escaped(st.ishtml));
  OML_StrDup(page, "$atid", Escaped(st.atid));
  OML_StrDup(page, "$encatid", st.atid ? MCGI_URIEscapeStr(st.atid) : std::string());
  BindFetchError(page, st);
  OML_IntSet(page, AD_IsInsertMode() ? "$ifninsert" : "$ifinsert", 2);
  if (st.ins_text) OML_StrDup(page, "$ins_text", EscapeInsertedText(*st.ins_text));
  OML_Execute(page);
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}
