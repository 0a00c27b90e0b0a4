#include "host/site/domain_table.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

#include "host/files/root.h"
#include "host/site/site.h"

bool IsSafeDomainName(std::string_view domain) {
  if (domain.empty() || domain == "." || domain == "..") return false;
  for (unsigned char c : domain) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::vector<std::string> DomainTableLoad() {
  std::vector<std::string> domains;
  if (!isMultiDomain()) return domains;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(host::RootPath("domains").c_str()), closedir);
  if (!dir) return domains;
  while (dirent* e = readdir(dir.get())) {
    std::string name = e->d_name;
    if (IsSafeDomainName(name) && (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN)) {
      domains.push_back(std::move(name));
    }
  }
  std::sort(domains.begin(), domains.end());
  return domains;
}
