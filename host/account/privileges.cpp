#include "host/account/privileges.h"

#include <string>

#include "host/files/files.h"
#include "host/files/root.h"

namespace {

// The next blank-separated word of `line`.
std::string_view Word(std::string_view& line) {
  std::size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  std::size_t end = line.find_first_of(" \t\r");
  std::string_view word = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  return word;
}

}  // namespace

int MAU_PrivilegeCheckByUID(std::string_view user_id, const char* domain, std::string_view code) {
  if (user_id.empty() || code.empty()) return 0;
  std::string_view want_domain = domain && *domain ? std::string_view(domain) : "-";
  std::string text;
  if (MFILE_Read(host::RootPath("etc/privileges.conf"), text) <= 0) return 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    if (line.empty() || line.front() == '#') continue;
    std::string_view c = Word(line), d = Word(line), u = Word(line);
    if (c == code && d == want_domain && u == user_id) return 1;
  }
  return 0;
}
