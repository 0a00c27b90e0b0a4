// The LDAP back end's names: any bytes escaped for a DN parse back to
// themselves, escaped for a filter hold no "*", "(" or ")", and a group path
// made into a DN reads back as the same path. Any bytes read as a DN from a
// server either map to a group path below the base or to none.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engines/ldap/ldap_names.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "ldap_names_fuzz: %s\n", what);
    std::abort();
  }
}

constexpr char kBase[] = "ou=groups,dc=example,dc=org";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mds_ldap;
  const std::string input(reinterpret_cast<const char*>(data), size);

  if (input.find('\0') == std::string::npos && !input.empty()) {
    std::optional<std::string> back = FirstRdnValue("cn=" + EscapeDnValue(input) + ",dc=x", "cn");
    Check(back && *back == input, "an escaped DN value does not read back");
  }
  std::string filter = EscapeFilterValue(input);
  Check(filter.find_first_of("*()") == std::string::npos, "a filter value keeps * ( or )");
  Check(filter.find('\0') == std::string::npos, "a filter value keeps NUL");

  // The input as a group path: a DN that maps back to the same path.
  std::string path = "/" + input;
  if (std::optional<std::string> dn = GroupDn(path, "cn", kBase)) {
    std::optional<std::string> again = GroupPathOfDn(*dn, "cn", kBase);
    std::string want =
        path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    bool mappable = want.find('@') == std::string::npos;
    if (mappable) Check(again && *again == want, "a group path does not read back");
  }

  // The input as a DN read from a server.
  if (std::optional<std::string> p = GroupPathOfDn(input, "cn", kBase)) {
    Check(!p->empty() && p->front() == '/', "a path without its leading /");
    std::optional<std::string> dn = GroupDn(*p, "cn", kBase);
    Check(dn && SameDn(*dn, input), "a mapped DN does not map back to the same entry");
  }
  return 0;
}
