#include "attachdesk/admission/window_values.h"

#include <string>

#include "attachdesk/admission/state.h"
#include "host/account/session.h"
#include "host/cgi/cgi_request.h"
#include "host/text/cgi_escape.h"

std::string AD_CabinetLinkArgs() {
  std::string args;
  const AD_State& st = AD_GetState();
  if (st.ishtml && *st.ishtml) args += "&amp;ishtml=1";
  if (const char* auth = MCGI_VarStrGet("auth", 0); auth && *auth) {
    args += "&amp;auth=" + MCGI_URIEscapeStr(auth);
  }
  if (session().m != 0) args += "&amp;m=" + std::to_string(session().m);
  return args;
}

void AD_BindWindowValues(OML_Handle& page) {
  const AD_State& st = AD_GetState();
  OML_StrDup(page, "$atid", st.atid ? HtmlEscape(st.atid) : std::string());
  OML_StrDup(page, "$encatid", st.atid ? MCGI_URIEscapeStr(st.atid) : std::string());
  OML_StrDup(page, "$ishtml", st.ishtml ? HtmlEscape(st.ishtml) : std::string());
  const char* auth = MCGI_VarStrGet("auth", 0);
  OML_StrDup(page, "$auth", auth ? HtmlEscape(auth) : std::string());
  OML_StrDup(page, "$dcargs", AD_CabinetLinkArgs());
}
