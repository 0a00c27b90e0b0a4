#include <unistd.h>

#include <string>
#include <string_view>

#include "common/attach/attach_list.h"
#include "common/intake/compose_id.h"
#include "host/account/session.h"
#include "uploadsend/state.h"
#include "uploadsend/upload_list.h"
#include "uploadsend/uploadsend.h"

US_State& US_GetState() {
  static US_State state;
  return state;
}

int US_Main() {
  if (user_login(0) == 0) return 1;
  US_State& st = US_GetState();
  st.atid = intake::TextOrPart("atid");
  // Without a compose identifier no window's files are touched.
  if (st.atid == nullptr || *st.atid == '\0') US_AttachMain();

  std::string_view atid(st.atid);
  if (atid.starts_with("compose")) {
    std::string_view tail = atid.substr(7);
    if (UPL_Number(tail) != 0) {
      if (!intake::AcceptComposeId(tail)) return 1;
      st.cpid = std::string(tail);
    } else {
      // A fresh window numbered by this process: a list an earlier process
      // with the same id left must not leak into it.
      st.cpid = std::to_string(static_cast<long long>(getpid()));
      st.fresh_window = true;
      unlink(ATT_ListPath(st.cpid->c_str()).c_str());
    }
    US_AttachMain();
  }
  if (atid.starts_with("axcompose")) {
    std::string_view tail = atid.substr(9);
    if (!intake::AcceptComposeId(tail)) return 1;
    st.cpid = std::string(tail);
    US_ImportUploads();
  }
  if (!intake::AcceptComposeId(atid)) return 1;
  st.cpid = std::string(atid);
  US_AttachMain();
}
