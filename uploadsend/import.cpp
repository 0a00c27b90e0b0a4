// The import of the files the upload control stored: the compose session's
// upload list is claimed and deleted, every upload it names is listed in the
// session's attachment list where it lies (never copied, moved or deleted),
// and a page send takes frameless HTML uploads as the message body instead.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/attach/attach_list.h"
#include "common/attach/list_turn.h"
#include "common/attach/window_names.h"
#include "common/intake/limits.h"
#include "common/intake/page_codes.h"
#include "common/intake/store/virus_check.h"
#include "common/mime/types/content_type.h"
#include "host/account/session.h"
#include "host/base/memstream.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/files/log.h"
#include "host/files/mapped_file.h"
#include "host/files/root.h"
#include "host/site/site.h"
#include "host/text/html_text.h"
#include "uploadsend/state.h"
#include "uploadsend/upload_list.h"

namespace {

// The upload list, taken out of the receiver's way by a rename before it is
// read: an upload the receiver lists meanwhile goes into a new list for the
// next import instead of being deleted unread.
class ClaimedUploadList {
 public:
  explicit ClaimedUploadList(const std::string& path)
      : path_(path), claimed_(path + std::string(window_names::kClaimInfix) + std::to_string(getpid())) {
    if (rename(path_.c_str(), claimed_.c_str()) != 0) claimed_.clear();
  }
  ~ClaimedUploadList() {
    if (!claimed_.empty()) unlink(claimed_.c_str());
  }
  ClaimedUploadList(const ClaimedUploadList&) = delete;
  ClaimedUploadList& operator=(const ClaimedUploadList&) = delete;

  // Reads the claimed list into the upload table (empty when there was none).
  void Read() {
    UPL_Table().count = 0;
    if (!claimed_.empty()) UPL_ListRead(claimed_);
  }
  // Puts the list back where the receiver left it, unless a new one stands
  // there: its uploads were not imported.
  void Restore() {
    if (claimed_.empty()) return;
    if (link(claimed_.c_str(), path_.c_str()) != 0) {
      LOG_FileLine(ErrorLogPath(), "US_ImportUploads: upload list %s not restored: %s",
                   path_.c_str(), std::strerror(errno));
    }
  }

 private:
  std::string path_;
  std::string claimed_;
};

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// An upload's bytes, mapped: never through a symbolic link, and only when the
// file really lies in the tmp folder (no linked folder leading out).
bool MapUpload(const char* path, MappedFile& data) {
  char* real = realpath(path, nullptr);
  if (real == nullptr) return false;
  std::string resolved(real);
  std::free(real);
  char* tmp = realpath(host::TmpDir().c_str(), nullptr);
  if (tmp == nullptr) return false;
  std::string inside = std::string(tmp) + "/";
  std::free(tmp);
  return resolved.starts_with(inside) && data.Open(path, false);
}

struct Import {
  US_State& st = US_GetState();
  bool page_send = false;
  std::int64_t total = 0;  // the list's size, raised by each upload listed
  MEM_WFP body;
  int code = intake::kCodeOk;
};

// One upload: the limits, the virus check, a page send's body, the list.
// False when the import stops here with `in.code`.
bool ImportOne(Import& in, const UploadRecord& upload) {
  AttachTable& table = ATT_Table();
  in.code = intake::LimitRefusal(table.count, in.total, upload.size);
  if (in.code != intake::kCodeOk) return false;

  bool scan = level_priv_check(session().level, kPrivVirusScan) != 0;
  MappedFile data;
  bool mapped = (scan || in.page_send) && MapUpload(upload.path, data);
  if (scan) {
    in.code = intake::ScanRefusal(upload.name, mapped ? data.data() : nullptr,
                                  mapped ? static_cast<std::int64_t>(data.size()) : 0, in.st.virus);
    if (in.code != intake::kCodeOk) {
      in.st.refused_name = upload.name;
      return false;
    }
  }
  if (in.page_send && mapped && data.size() > 0) {
    in.st.body_name = std::string(purename(upload.name));
    std::string_view bytes(data.data(), data.size());
    std::string type = CT_Guess(data.data(), data.size(), upload.name);
    if (EndsWithNoCase(upload.name, ".url")) in.st.link_seen = true;
    if (StartsWithNoCase(type, "text/html")) {
      in.st.html_seen = true;
      if (!US_HasFrame(bytes)) {
        MEM_WFPWrite(in.body, bytes.data(), bytes.size(), 1);
        in.st.body_taken = true;
        return true;  // the body, not an attachment
      }
    }
  }
  AttachRecord record{};
  record.size = upload.size;
  ATT_SetField(record.name, sizeof record.name, upload.name);
  MSTR_Copy(record.path, sizeof record.path, upload.path);
  ATT_ListAdd(record);  // cannot be full: the count limit is at most what it holds
  in.total += upload.size;
  return true;
}

int RunImport() {
  Import in;
  const char* act = MCGI_VarStrGet("act", 0);
  in.page_send = act && std::strcmp(act, "pgsend") == 0;
  MEM_WFPOpen(in.body);

  const std::string list_path = ATT_ListPath(in.st.cpid->c_str());
  // The window's turn, as attachdesk takes it: no entry of a concurrent
  // request is lost, and two imports of one window never take one list.
  AttachListTurn turn(list_path);
  ClaimedUploadList uploads(UPL_ListPath(UPL_Number(*in.st.cpid)));
  uploads.Read();
  ATT_ListRead(list_path);
  for (int i = 0; i < ATT_Table().count; ++i) in.total += ATT_Table().records[i].size;

  const UploadTable& table = UPL_Table();
  int imported = 0;
  for (; imported < table.count; ++imported) {
    if (!ImportOne(in, table.records[imported])) break;
  }
  if (table.count > 0 && ATT_ListWrite(list_path) < 0) {
    LOG_FileLine(ErrorLogPath(), "US_ImportUploads: the list %s could not be written",
                 list_path.c_str());
    uploads.Restore();
    ATT_ListRead(list_path);
    in.code = intake::kCodeListNotSaved;
  }
  if (!in.body.data.empty()) in.st.body = std::move(in.body.data);
  MEM_WFPClose(in.body);
  return in.code;
}

}  // namespace

int US_HasFrame(std::string_view data) {
  constexpr std::string_view kTag = "<frame";
  for (std::size_t at = data.find('<'); at != std::string_view::npos; at = data.find('<', at + 1)) {
    if (StartsWithNoCase(data.substr(at), kTag)) return 1;
  }
  return 0;
}

int US_HasFrame(const char* text) {
  return text ? US_HasFrame(std::string_view(text)) : 0;
}

void US_ImportUploads() {
  US_RenderPage(RunImport());
}
