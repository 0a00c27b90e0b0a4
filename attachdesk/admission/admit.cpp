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

#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "common/intake/limits.h"
#include "common/intake/store/stored_copy.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"
#include "host/site/site.h"
#include "host/text/html_text.h"

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
  if (int code = intake::LimitRefusal(ATT_Table().count, in.total, length); code != kAdOk) {
    return Refuse(code);
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
