// uploadsend: the CGI program behind the compose and send page that works
// with an upload control.
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "uploadsend/uploadsend.h"

int main() {
  host::ProcessInit();
  // An unknown user costs nothing: the login is checked before the body is read.
  if (MCGI_Load([] { return !LoginUserId().empty(); }) != RequestError::kOk) return 1;
  return US_Main();
}
