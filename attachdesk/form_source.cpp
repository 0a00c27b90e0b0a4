// The form's source of new files: removals chosen on the page, the upload
// fields "newfile", "newfile01" ... "newfile255", and one URL in "newfile2".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "attachdesk/handlers.h"
#include "attachdesk/state.h"
#include "common/attach/attach_list.h"
#include "common/intake/fetched_url.h"
#include "common/intake/stored_copy.h"
#include "common/mime/content_type.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/charset/unicode_text.h"
#include "host/files/mapped_file.h"
#include "host/files/root.h"
#include "host/net/fetch.h"

namespace {

constexpr int kUploadFields = 256;
constexpr std::size_t kNameBuffer = 4096;

// Removes the entries chosen on the page. The positions were numbered before
// this request removed anything; the k-th value is lowered by k, which keeps
// positions that arrive in ascending order (as browsers send them) right.
void RemoveChosen() {
  int cursor = 0;
  for (int k = 0;; ++k) {
    const char* value = MCGI_VarStrMGet("choice", &cursor, 0);
    if (value == nullptr) break;
    char* end = nullptr;
    errno = 0;
    long position = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE) continue;  // not a position
    if (position - k < 0 || position - k >= ATT_Table().count) continue;
    if (ATT_ListRemove(static_cast<int>(position - k)) == 1) AD_GetIntake().changed = true;
  }
}

const std::string& ComposeId() {
  return *AD_GetState().cpid;
}

// One upload field. The data stays where the request holds it and is written
// straight to the stored copy. False when the request takes no further files.
bool Upload(int index) {
  std::string field = index == 0 ? "newfile" : StrPrintf("newfile%.2d", index);
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet(field, &client, &data, &length);

  std::string name = client ? client : "";
  bool converted = false;
  char buffer[kNameBuffer];
  int flag = 0;
  int user_value = MLC_CharsetWEncToValue(UserCharset());
  if (MLC_UText2Unicode(name, buffer, sizeof buffer, user_value, &flag)) {
    name = Uni2Unicode(buffer, flag);
    converted = true;
  }
  if (length <= 0) {
    if (!name.empty()) AD_GetIntake().empty_upload = kAdEmptyUpload;
    return true;
  }
  const std::string type = CT_Guess(data, static_cast<std::size_t>(length), name.c_str());

  auto store = [&](AttachRecord& record) {
    const AD_Intake& in = AD_GetIntake();
    std::string path = StrPrintf("%s/%s_%s_A_%d_%d", host::TmpDir().c_str(),
                                 session().user_id.c_str(), ComposeId().c_str(), in.pid, index);
    if (intake::StoreCopy(path, data, length) != 0) return -1;
    std::string charset = converted ? MLC_CharsetToWEncName(kCharsetUtf8) : UserCharset();
    std::string base(MLG_ExtractFilename(name, MLC_CharsetWEncToValue(charset)));
    const char* shown = AD_NameForCharset(base.c_str(), charset.c_str());
    ATT_SetField(record.name, sizeof record.name, shown ? shown : "");
    if (converted) ATT_SetField(record.charset, sizeof record.charset, charset);
    MSTR_Copy(record.path, sizeof record.path, path);
    return 0;
  };
  return AD_Admit(name.c_str(), data, length, type.c_str(), store) != AD_Admission::kRefused;
}

AD_FetchMessage MessageOf(FetchProblem problem) {
  switch (problem) {
    case FetchProblem::kNone:
      return AD_FetchMessage::kNone;
    case FetchProblem::kScheme:
      return AD_FetchMessage::kScheme;
    case FetchProblem::kAddress:
      return AD_FetchMessage::kAddress;
    case FetchProblem::kTooLarge:
      return AD_FetchMessage::kTooLarge;
    case FetchProblem::kHttpStatus:
      return AD_FetchMessage::kHttpStatus;
    case FetchProblem::kTimeout:
      return AD_FetchMessage::kTimeout;
    case FetchProblem::kUnreachable:
      return AD_FetchMessage::kUnreachable;
    case FetchProblem::kOther:
      break;
  }
  return AD_FetchMessage::kOther;
}

// The URL field. The fetched file is listed where the fetch left it. A fetch
// that fails or brings nothing adds nothing, and the page says why.
void FetchUrl() {
  std::string url = intake::UrlFieldText();
  if (url.empty()) return;
  url = intake::NormaliseUrl(std::move(url));

  AD_State& st = AD_GetState();
  const AD_Intake& in = AD_GetIntake();
  std::string path = intake::FreeStoredName(StrPrintf("%s/%s_%s_H_%d", host::TmpDir().c_str(),
                                                 session().user_id.c_str(),
                                                 ComposeId().c_str(), in.pid),
                                       "FetchUrl");
  if (path.empty() || !intake::PathFitsRecord(path, "FetchUrl")) {
    st.fetch_message = AD_FetchMessage::kOther;
    return;
  }
  if (MNET_Fetch2File(url.c_str(), path, 1) != 0) {
    st.fetch_message = MessageOf(MNET_LastFailure().problem);
    st.fetch_status = MNET_LastFailure().http_status;
    return;
  }
  intake::FetchedFile fetched(path);
  // Mapped, never through a link: the file is read once, without a copy.
  MappedFile data;
  if (!data.Open(path, false)) {
    st.fetch_message = AD_FetchMessage::kOther;
    return;
  }
  if (data.size() == 0) {
    st.fetch_message = AD_FetchMessage::kEmpty;
    return;
  }
  std::int64_t got = static_cast<std::int64_t>(data.size());
  const std::string type = CT_Guess(data.data(), data.size(), path.c_str());
  // Its length counts once against the size limit, as an upload's does.
  auto store = [&](AttachRecord& record) {
    std::string base(purename(url));
    const char* shown = AD_NameForUser(base.c_str());
    ATT_SetField(record.name, sizeof record.name, shown ? shown : "");
    MSTR_Copy(record.path, sizeof record.path, path);
    return 0;
  };
  if (AD_Admit(url.c_str(), data.data(), got, type.c_str(), store) == AD_Admission::kListed) {
    fetched.Keep();
  }
}

// Whether the request sends a file or a URL to attach.
bool SendsFiles() {
  for (const FormPart& part : MCGI_Request().parts) {
    if (part.name != "newfile2" && part.name.starts_with("newfile") && part.length > 0) {
      return true;
    }
  }
  return !intake::UrlFieldText().empty();
}

}  // namespace

void AD_FormSource() {
  // Without a compose identifier no window's files may be touched: there is
  // no list to remove from, and new files would have no list to join, so
  // none are stored or fetched, and the user is told.
  if (!AD_GetState().cpid) {
    if (SendsFiles()) AD_GetIntake().outcome.code = kAdNoComposeWindow;
    return;
  }
  RemoveChosen();
  for (int i = 0; i < kUploadFields; ++i) {
    if (!Upload(i)) return;
  }
  FetchUrl();
}
