#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "attachdesk/admission/state.h"
#include "attachdesk/attachdesk.h"
#include "attachdesk/media/media.h"
#include "attachdesk/window.h"
#include "common/attach/attach_list.h"
#include "common/intake/compose_id.h"
#include "host/account/session.h"
#include "host/cgi/cgi_request.h"
#include "host/cgi/status_answer.h"

namespace {

enum class Mode { kNormal, kCompose, kInsert, kBackground, kBacksound, kImage };

struct Dispatch {
  Mode mode;
  std::string_view cpid;
};

Dispatch Choose(std::string_view atid) {
  if (atid == "compose") return {Mode::kCompose, {}};
  if (atid.starts_with("insert")) return {Mode::kInsert, atid.substr(6)};
  if (atid.starts_with("bg")) return {Mode::kBackground, atid.substr(2)};
  if (atid.starts_with("bs")) return {Mode::kBacksound, atid.substr(2)};
  if (atid.starts_with("img")) return {Mode::kImage, atid.substr(3)};
  return {Mode::kNormal, atid};
}

}  // namespace

int AD_Main() {
  if (user_login(0) == 0) return 1;
  AD_State& st = AD_GetState();
  st.ishtml = intake::TextOrPart("ishtml");
  st.atid = intake::TextOrPart("atid");
  if (st.atid == nullptr) {
    attach_main();  // no compose identifier: no window's files are touched
  }

  Dispatch d = Choose(st.atid);
  if (d.mode == Mode::kCompose) {
    st.cpid = std::to_string(static_cast<long long>(getpid()));
    // A list left by an earlier process with the same id must not leak into
    // the new window.
    unlink(ATT_ListPath(st.cpid->c_str()).c_str());
    attach_main();
  }
  if (!intake::AcceptComposeId(d.cpid)) return 1;
  if (!d.cpid.empty()) st.cpid = std::string(d.cpid);
  switch (d.mode) {
    case Mode::kBackground:
      AD_BackgroundMain();
      return 1;
    case Mode::kBacksound:
      AD_BacksoundMain();
      return 1;
    case Mode::kImage:
      AD_ImageMain();
      return 1;
    default:
      attach_main();
  }
  return 1;
}
