// attachdesk: the CGI program behind a compose page's attachment window.
#include "attachdesk/attachdesk.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"

int main() {
  host::ProcessInit();
  // An unknown user costs nothing: the login is checked before the body is read.
  if (MCGI_Load([] { return !LoginUserId().empty(); }) != RequestError::kOk) return 1;
  return AD_Main();
}
