// attachdesk: the CGI program behind a compose page's attachment window.
#include "attachdesk/attachdesk.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"

int main() {
  host::ProcessInit();
  if (MCGI_Load() != RequestError::kOk) return 1;
  return AD_Main();
}
