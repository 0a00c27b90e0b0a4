#include "host/site/domain.h"

#include "host/files/root.h"
#include "host/site/site.h"

std::string GetDomainDir(std::string_view domain) {
  std::string d(domain.empty() ? std::string_view(GINI().default_domain) : domain);
  return host::RootPath("domains/") + d;
}

std::string GetPublicPath(std::string_view domain, std::string_view sub) {
  std::string p = GetDomainDir(domain) + "/public";
  if (!sub.empty()) {
    p += '/';
    p += sub;
  }
  return p;
}

std::string MUSER_IDNormalize(std::string_view id, std::string_view domain) {
  std::string out(id);
  if (isMultiDomain() && id.find('@') == std::string_view::npos) {
    out += '@';
    out += domain.empty() ? std::string_view(GINI().default_domain) : domain;
  }
  if (out.size() > 511) out.resize(511);
  return out;
}
