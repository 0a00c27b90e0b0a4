// uploadsend: the compose and send page that works with an upload control.
// Its entry logs the user in, reads "atid" and runs one of two flows: the
// import of the upload control's files, or the compose flow.
#pragma once

// The program's whole entry; answers the process exit status (the flows end
// the process in their page themselves).
int US_Main();
