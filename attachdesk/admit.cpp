// The admission of one new file, shared by every source: diversion to the
// inserted text, the count and size limits, the virus check, the stored copy
// and the list entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "attachdesk/handlers.h"
#include "attachdesk/state.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"
#include "host/site/site.h"
#include "host/text/html_text.h"

int AD_CountLimit() {
  return std::clamp(GINI().attach_count_limit, 0, kAttachAddLimit);
}

std::int64_t AD_SizeLimit() {
  std::int64_t kb = level_priv_attachsize(session().level);
  if (kb <= 0) return 0;
  if (kb > (std::numeric_limits<std::int64_t>::max() >> 10)) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return kb << 10;
}

bool AD_PathFitsRecord(const std::string& path, const char* function) {
  if (path.size() < sizeof AttachRecord::path && path.find(';') == std::string::npos) return true;
  LOG_FileLine(ErrorLogPath(), "%s: stored name %s cannot be listed", function, path.c_str());
  return false;
}

// Stored copies carry the process id in their names, but a process id comes
// round again: a name that is taken gets "." and a number, so one request's
// copy never replaces another's.
constexpr int kStoredNameTries = 100;

std::string AD_FreeStoredName(const std::string& path, const char* function) {
  for (int n = 0; n < kStoredNameTries; ++n) {
    std::string candidate = n == 0 ? path : StrPrintf("%s.%d", path.c_str(), n);
    struct stat st;
    if (lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) return candidate;
  }
  LOG_FileLine(ErrorLogPath(), "%s: no free stored name beside %s", function, path.c_str());
  return {};
}

// The data goes straight from the request body to the file: an upload that
// was spooled while the request was read becomes the stored file itself;
// anything else is copied in as many writes as the system needs.
int AD_StoreCopy(std::string& path, const char* data, std::int64_t length) {
  const RequestBody& body = MCGI_Request().body;
  const auto size = static_cast<std::size_t>(length);
  for (int n = 0; n < kStoredNameTries; ++n) {
    std::string candidate = n == 0 ? path : StrPrintf("%s.%d", path.c_str(), n);
    if (!AD_PathFitsRecord(candidate, "AD_StoreCopy")) return -1;
    if (body.LinkAs(candidate.c_str(), data, size)) {
      path = candidate;
      return 0;
    }
    UniqueFd fd(open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok() && errno == EEXIST) continue;
    if (!fd.ok()) {
      LOG_FileLine(ErrorLogPath(), "AD_StoreCopy: open %s: %s", candidate.c_str(),
                   std::strerror(errno));
      return -1;
    }
    const char* failed = body.WriteTo(fd.get(), data, size) != 0 ? "write" : nullptr;
    if (!failed && close(fd.release()) != 0) failed = "close";
    if (failed) {
      LOG_FileLine(ErrorLogPath(), "AD_StoreCopy: %s %s: %s", failed, candidate.c_str(),
                   std::strerror(errno));
      unlink(candidate.c_str());
      return -1;
    }
    path = candidate;
    return 0;
  }
  LOG_FileLine(ErrorLogPath(), "AD_StoreCopy: no free stored name beside %s", path.c_str());
  return -1;
}

void AD_InsertText(const char* type, const char* data, std::int64_t length) {
  if (data == nullptr || length <= 0) return;
  MEM_WFP& out = AD_GetIntake().insertion;
  const char* ishtml = AD_GetState().ishtml;
  const std::size_t size = static_cast<std::size_t>(length);
  if (ishtml && *ishtml) {
    bool plain = StartsWithNoCase(type ? type : "", "text/plain");
    if (plain) MEM_WFPPrintf(out, "<PRE>");
    MEM_WFPWrite(out, data, size, 0);
    if (plain) MEM_WFPPrintf(out, "</PRE>");
    return;
  }
  if (!StartsWithNoCase(type ? type : "", "text/html")) {
    MEM_WFPWrite(out, data, size, 0);
    return;
  }
  std::vector<char> copy;
  try {
    copy.assign(data, data + size);
  } catch (const std::bad_alloc&) {
    return;  // no room for the copy: nothing is inserted
  }
  std::size_t copy_length = copy.size();
  MCC_HtmlTagRemove(data, size, copy.data(), &copy_length);
  MEM_WFPWrite(out, copy.data(), copy_length, 0);
}

namespace {

AD_Admission Refuse(int code, const char* name = nullptr,
                    std::optional<std::string> virus = std::nullopt) {
  AD_GetIntake().outcome = AD_Outcome{code, name ? name : "", std::move(virus)};
  return AD_Admission::kRefused;
}

}  // namespace

AD_Admission AD_Admit(const char* name, const char* data, std::int64_t length, const char* type,
                      const AD_StoreFn& store, int flags) {
  AD_Intake& in = AD_GetIntake();
  std::string_view kind = type ? type : "";
  if (!(flags & kAdmitNoDivert) && AD_IsInsertMode()) {
    bool text =
        (flags & kAdmitTypeNoCase) ? StartsWithNoCase(kind, "text") : kind.starts_with("text");
    if (text) {
      AD_InsertText(type, data, length);
      return AD_Admission::kDiverted;
    }
  }
  if (ATT_Table().count + 1 > AD_CountLimit()) return Refuse(kAdCountLimit);
  // A record keeps its size in 32 bits: a larger file cannot be listed.
  if (length > std::numeric_limits<std::int32_t>::max() || in.total + length > AD_SizeLimit()) {
    return Refuse(kAdSizeLimit);
  }
  if (!(flags & kAdmitNoScan)) {
    std::optional<std::string> virus;
    int scanned = AD_VirusCheck(name, data, length, virus);
    if (scanned == 1) return Refuse(kAdVirus, name, std::move(virus));
    if (scanned < 0 && GINI().scan_unavailable_refuse) return Refuse(kAdNotScanned, name);
  }
  AttachRecord record{};
  if (!store || store(record) != 0) return AD_Admission::kNotStored;
  record.size = static_cast<std::int32_t>(length);
  ATT_ListAdd(record);  // cannot be full: the count limit is at most what it holds
  in.stored.emplace_back(record.path);
  in.total += length;
  in.changed = true;
  return AD_Admission::kListed;
}
