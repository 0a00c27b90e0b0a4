#include "common/attach/tmp_path.h"

#include <string>

#include "host/base/ascii.h"
#include "host/files/root.h"

bool PathBelowTmp(std::string_view path) {
  const std::string& tmp = host::TmpDir();
  if (path.size() <= tmp.size() + 1 || !path.starts_with(tmp) || path[tmp.size()] != '/') {
    return false;
  }
  for (unsigned char c : path) {
    if (ascii::IsControl(c)) return false;
  }
  std::string_view rel = path.substr(tmp.size() + 1);
  for (std::size_t start = 0; start <= rel.size();) {
    std::size_t end = rel.find('/', start);
    if (end == std::string_view::npos) end = rel.size();
    if (rel.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}
