#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "attachdesk/handlers.h"
#include "attachdesk/state.h"
#include "common/attach/attach_list.h"
#include "host/cgi_request.h"
#include "host/memstream.h"

namespace {

// Removes the entries chosen on the page. The positions were numbered before
// this request removed anything; the k-th value is lowered by k, which keeps
// positions that arrive in ascending order (as browsers send them) right.
bool RemoveChosen() {
  bool removed = false;
  int cursor = 0;
  for (int k = 0;; ++k) {
    const char* value = MCGI_VarStrMGet("choice", &cursor, 0);
    if (value == nullptr) break;
    char* end = nullptr;
    errno = 0;
    long position = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE) continue;  // not a position
    if (position - k < 0 || position - k >= ATT_Table().count) continue;
    removed |= ATT_ListRemove(static_cast<int>(position - k)) == 1;
  }
  return removed;
}

bool Present(const char* name) { return MCGI_VarStrGet(name, 0) != nullptr; }

}  // namespace

void attach_main() {
  AD_State& st = AD_GetState();
  MEM_WFP insertion;
  MEM_WFPOpen(insertion);

  // Without a compose identifier there is no list file: the page shows an
  // empty list and nothing is written.
  const std::string* list_path = nullptr;
  if (st.cpid) {
    list_path = &ATT_ListPath(st.cpid->c_str());
    ATT_ListRead(*list_path);
  } else {
    ATT_Table().count = 0;
  }

  const char* init = MCGI_VarStrGet("init", 0);
  if (init && *init) AD_AttachPage(kAdOk, nullptr, nullptr);

  std::int64_t total = 0;
  for (int i = 0; i < ATT_Table().count; ++i) total += ATT_Table().records[i].size;
  (void)total;

  // One source per request. The cabinet, memo note and calendar sources are
  // not offered by this build: such a request shows the page unchanged.
  if (Present("doc") || Present("mnote") || Present("cal")) {
    AD_AttachPage(kAdOk, nullptr, nullptr);
  }

  int code = kAdOk;
  bool changed = false;
  if (list_path) changed |= RemoveChosen();
  // An unchanged list is not rewritten: the file already holds it.
  if (list_path && changed) ATT_ListWrite(*list_path);

  if (!insertion.data.empty()) {
    st.ins_text = insertion.data;
  }
  MEM_WFPClose(insertion);
  AD_AttachPage(code, nullptr, nullptr);
}
