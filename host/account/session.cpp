#include "host/account/session.h"

#include <unistd.h>

#include <cstdio>

#include "host/account/account.h"
#include "host/base/ascii.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/cgi/status_answer.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/files/files.h"
#include "host/files/root.h"
#include "host/site/key_value.h"
#include "host/site/site.h"

namespace {

struct State {
  Session session;
  Preference prefs;
};

State& Current() {
  static State state;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnReloadEnv([] { Current() = State(); });
  }
  return state;
}

bool AllOf(std::string_view s, bool (*ok)(unsigned char)) {
  if (s.empty() || s.size() > 64) return false;
  for (unsigned char c : s) {
    if (!ok(c)) return false;
  }
  return true;
}

// Preferences end up in a header line and in folder names: only plain tokens
// are taken.
Preference ReadPreference(const std::string& user_id) {
  Preference p;
  std::string text;
  if (MFILE_Read(user_home(user_id) + "/.prefs", text) <= 0) return p;
  ForEachKeyValue(text, [&p](std::string_view key, std::string_view value) {
    if (key == "charset" &&
        AllOf(value, [](unsigned char c) { return ascii::IsAlnum(c) || c == '-' || c == '_' || c == '.' || c == ':'; })) {
      p.charset = value;
    } else if (key == "language" &&
               AllOf(value, [](unsigned char c) { return ascii::IsAlnum(c) || c == '-' || c == '_'; })) {
      p.language = value;
    }
  });
  return p;
}

}  // namespace

std::string LoginUserId() {
  std::string id = host::Env().remote_user;
  const SiteSettings& site = GINI();
  if (site.multi_domain && !id.empty() && id.find('@') == std::string::npos) {
    id += '@';
    id += site.default_domain;
  }
  if (!IsValidUserId(id) || !user_exist(id)) return "";
  return id;
}

int user_login(int /*flags*/) {
  State& st = Current();
  st = State();
  const std::string id = LoginUserId();
  if (id.empty()) {
    PrintStatusAnswer(RequestErrorStatus(RequestError::kNotLoggedIn),
                      RequestErrorReason(RequestError::kNotLoggedIn));
    return 0;
  }
  const SiteSettings& site = GINI();
  Session& s = st.session;
  s.user_id = id;
  size_t at = id.find('@');
  s.address = at == std::string::npos ? id + "@" + site.default_domain : id;
  s.domain = at == std::string::npos ? site.default_domain : id.substr(at + 1);
  s.server_name = host::Env().server_name;
  const std::string& https = host::Env().https;
  s.scheme = (https == "on" || https == "1" || https == "ON") ? "https" : "http";
  st.prefs = ReadPreference(id);
  s.template_dir = host::RootPath("httpd/template/") + st.prefs.language;
  // A language the site has no templates for falls back to English.
  if (access(s.template_dir.c_str(), F_OK) != 0) s.template_dir = host::RootPath("httpd/template/en");
  s.level = ReadUserLevel(id);
  s.m = MCGI_VarIntGet("m", 0);
  s.logged_in = true;
  return 1;
}

const Session& session() { return Current().session; }

const Preference& GetPreference() { return Current().prefs; }

const std::string& UserCharset() { return Current().prefs.charset; }

void SetSessionForTest(const Session& s, const Preference& p) {
  Current().session = s;
  Current().prefs = p;
}

int MLG_IsHalf(const char* text, std::size_t length, int /*flags*/) {
  int v = MLC_CharsetWEncToValue(UserCharset());
  if (!IsTwoByteCharset(v) || text == nullptr) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (IsLeadByte(v, static_cast<unsigned char>(text[i]))) {
      if (i + 1 == length) return 1;
      ++i;
    }
  }
  return 0;
}
