#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "attachdesk/handlers.h"
#include "attachdesk/intake.h"
#include "attachdesk/state.h"
#include "common/attach/attach_list.h"
#include "host/base/memstream.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"

namespace {

bool Present(const char* name) {
  return MCGI_VarStrGet(name, 0) != nullptr;
}

// Whether the request can change the list: it names positions to remove,
// sends upload fields or a URL. A plain page request needs no turn.
bool MayChangeList() {
  const char* init = MCGI_VarStrGet("init", 0);
  if (init && *init) return false;
  if (Present("choice")) return true;
  for (const FormPart& part : MCGI_Request().parts) {
    if (part.name.starts_with("newfile")) return true;
  }
  return false;
}

// Requests of one compose window take turns from reading its list to writing
// it back, so none of them lists a file that another one removed meanwhile
// (or drops a file another one added). The turn is an exclusive flock on a
// lock file beside the list, which the holder deletes when it is done: a
// waiter that then gets the lock on the deleted file sees that the path no
// longer names it and tries again with the file now there. No lock file stays
// behind a request. Without a lock (the file cannot be made) the request goes
// on alone, as it would have without locking.
void LockList(AD_Intake& in) {
  in.lock_path = in.list_path + ".lock";
  for (;;) {
    int fd = open(in.lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      LOG_FileLine(ErrorLogPath(), "LockList: open %s: %s", in.lock_path.c_str(),
                   std::strerror(errno));
      return;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat held, named;
    if (locked == 0 && fstat(fd, &held) == 0 && stat(in.lock_path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      in.lock_fd = fd;
      return;
    }
    close(fd);
    if (locked != 0) {
      LOG_FileLine(ErrorLogPath(), "LockList: flock %s: %s", in.lock_path.c_str(),
                   std::strerror(errno));
      return;
    }
  }
}

void UnlockList(AD_Intake& in) {
  if (in.lock_fd < 0) return;
  unlink(in.lock_path.c_str());
  close(in.lock_fd);
  in.lock_fd = -1;
}

// Ends the request with the page, the window's turn handed on first.
[[noreturn]] void Page(int code, const char* name, const char* virus) {
  UnlockList(AD_GetIntake());
  AD_AttachPage(code, name, virus);
}

}  // namespace

AD_Intake& AD_GetIntake() {
  static AD_Intake intake;
  return intake;
}

// An unchanged list is not rewritten: the file already holds it.
void AD_WriteList() {
  AD_Intake& in = AD_GetIntake();
  if (!in.list_path.empty() && in.changed) ATT_ListWrite(in.list_path);
  UnlockList(in);
}

// Text already collected for the message body goes to the page, also when a
// later file of the request is refused: the user must not lose it.
static void HandOverInsertedText() {
  AD_Intake& in = AD_GetIntake();
  if (!in.insertion.data.empty()) {
    MEM_WFPPrintf(in.insertion, "%c", 0);
    AD_GetState().ins_text = std::string(in.insertion.data.c_str());  // the text up to its NUL
  }
  MEM_WFPClose(in.insertion);
}

void AD_Refuse(int code, const char* name, const char* virus) {
  AD_WriteList();
  HandOverInsertedText();
  Page(code, name, virus);
}

void attach_main() {
  AD_State& st = AD_GetState();
  AD_Intake& in = AD_GetIntake();
  MEM_WFPOpen(in.insertion);

  // Without a compose identifier there is no list file: the page shows an
  // empty list and nothing is written.
  if (st.cpid) {
    in.list_path = ATT_ListPath(st.cpid->c_str());
    if (MayChangeList()) LockList(in);
    ATT_ListRead(in.list_path);
  } else {
    ATT_Table().count = 0;
  }

  const char* init = MCGI_VarStrGet("init", 0);
  if (init && *init) Page(kAdOk, nullptr, nullptr);

  in.pid = static_cast<int>(getpid());
  for (int i = 0; i < ATT_Table().count; ++i) in.total += ATT_Table().records[i].size;

  // One source per request. The cabinet, memo note and calendar sources are
  // not offered by this build: such a request shows the page unchanged.
  if (Present("doc") || Present("mnote") || Present("cal")) Page(kAdOk, nullptr, nullptr);
  AD_FormSource();

  AD_WriteList();
  HandOverInsertedText();
  Page(in.empty_upload ? kAdEmptyUpload : kAdOk, nullptr, nullptr);
}
