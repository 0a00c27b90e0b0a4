#include "tool_session.h"

#include <string>

#include "host/account/session.h"
#include "host/site/site.h"

void SetToolSession(const char* user) {
  const SiteSettings& site = GINI();
  Session s;
  s.domain = site.default_domain;
  if (user) {
    std::string id = user;
    if (site.multi_domain && !id.empty() && id.find('@') == std::string::npos) {
      id += '@';
      id += site.default_domain;
    }
    std::size_t at = id.find('@');
    s.user_id = id;
    s.address = at == std::string::npos ? id + "@" + site.default_domain : id;
    if (at != std::string::npos) s.domain = id.substr(at + 1);
    s.logged_in = true;
  }
  SetSessionForTest(s, Preference());
}
