// The form's source of new files: removals chosen on the page, the upload
// fields "newfile", "newfile01" ... "newfile255", and one URL in "newfile2".

#include <cstdint>
#include <string>

#include "attachdesk/admission/state.h"
#include "attachdesk/window.h"
#include "common/attach/attach_list.h"
#include "common/intake/fetch/fetched_url.h"
#include "common/intake/form_fields.h"
#include "common/intake/store/stored_copy.h"
#include "common/mime/types/content_type.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/charset/unicode_text.h"

namespace {

constexpr std::size_t kNameBuffer = 4096;

const std::string& ComposeId() {
  return *AD_GetState().cpid;
}

// One upload field. The data stays where the request holds it and is written
// straight to the stored copy. False when the request takes no further files.
bool Upload(int index) {
  std::string field = intake::UploadFieldName(index);
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet(field, &client, &data, &length);
  if (!client && length <= 0) return true;  // the form has no such field

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
    std::string path = intake::StoredName(ComposeId(), 'A', in.pid, index);
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

// The URL field. The fetched file is listed where the fetch left it. A fetch
// that fails or brings nothing adds nothing, and the page says why.
void FetchUrl() {
  std::string url = intake::UrlFieldText();
  if (url.empty()) return;
  url = intake::NormaliseUrl(std::move(url));

  AD_State& st = AD_GetState();
  intake::FetchedUrl fetched(url, ComposeId(), AD_GetIntake().pid, "FetchUrl");
  if (!fetched.ok()) {
    st.fetch_message = fetched.message();
    st.fetch_status = fetched.http_status();
    return;
  }
  const std::string& path = fetched.path();
  std::int64_t got = static_cast<std::int64_t>(fetched.size());
  const std::string type = CT_Guess(fetched.data(), fetched.size(), path.c_str());
  // Its length counts once against the size limit, as an upload's does.
  auto store = [&](AttachRecord& record) {
    std::string base(purename(url));
    const char* shown = AD_NameForUser(base.c_str());
    ATT_SetField(record.name, sizeof record.name, shown ? shown : "");
    MSTR_Copy(record.path, sizeof record.path, path);
    return 0;
  };
  if (AD_Admit(url.c_str(), fetched.data(), got, type.c_str(), store) == AD_Admission::kListed) {
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
  if (intake::RemoveChosen(intake::ChoiceShift::kByValueIndex) > 0) AD_GetIntake().changed = true;
  if (intake::HasUploadFields()) {
    for (int i = 0; i < intake::kUploadFields; ++i) {
      if (!Upload(i)) return;
    }
  }
  FetchUrl();
}
