#include "common/intake/store/stored_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/attach/attach_list.h"
#include "common/attach/window_names.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"
#include "host/files/root.h"

namespace intake {

std::string StoredName(const std::string& cpid, char kind, int pid, int number) {
  using window_names::FileKind;
  return host::TmpDir() + "/" +
         window_names::StoredName(kind == 'H' ? FileKind::kFetched : FileKind::kCopy,
                                  session().user_id, cpid, pid, number);
}

bool PathFitsRecord(const std::string& path, const char* function) {
  if (path.size() < sizeof AttachRecord::path && path.find(';') == std::string::npos) return true;
  LOG_FileLine(ErrorLogPath(), "%s: stored name %s cannot be listed", function, path.c_str());
  return false;
}

// Stored copies carry the process id in their names, but a process id comes
// round again: a name that is taken gets "." and a number, so one request's
// copy never replaces another's.
constexpr int kStoredNameTries = 100;

std::string FreeStoredName(const std::string& path, const char* function) {
  for (int n = 0; n < kStoredNameTries; ++n) {
    std::string candidate = n == 0 ? path : window_names::TakenName(path, n);
    struct stat st;
    if (lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) return candidate;
  }
  LOG_FileLine(ErrorLogPath(), "%s: no free stored name beside %s", function, path.c_str());
  return {};
}

// The data goes straight from the request body to the file: an upload that
// was spooled while the request was read becomes the stored file itself;
// anything else is copied in as many writes as the system needs.
int StoreCopy(std::string& path, const char* data, std::int64_t length) {
  const RequestBody& body = MCGI_Request().body;
  const auto size = static_cast<std::size_t>(length);
  for (int n = 0; n < kStoredNameTries; ++n) {
    std::string candidate = n == 0 ? path : window_names::TakenName(path, n);
    if (!PathFitsRecord(candidate, "StoreCopy")) return -1;
    if (body.LinkAs(candidate.c_str(), data, size)) {
      path = candidate;
      return 0;
    }
    UniqueFd fd(
        open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok() && errno == EEXIST) continue;
    if (!fd.ok()) {
      LOG_FileLine(ErrorLogPath(), "StoreCopy: open %s: %s", candidate.c_str(),
                   std::strerror(errno));
      return -1;
    }
    const char* failed = body.WriteTo(fd.get(), data, size) != 0 ? "write" : nullptr;
    if (!failed && close(fd.release()) != 0) failed = "close";
    if (failed) {
      LOG_FileLine(ErrorLogPath(), "StoreCopy: %s %s: %s", failed, candidate.c_str(),
                   std::strerror(errno));
      unlink(candidate.c_str());
      return -1;
    }
    path = candidate;
    return 0;
  }
  LOG_FileLine(ErrorLogPath(), "StoreCopy: no free stored name beside %s", path.c_str());
  return -1;
}

}  // namespace intake
