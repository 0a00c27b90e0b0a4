#include "common/attach/list_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "host/base/ascii.h"
#include "host/base/unique_fd.h"
#include "host/files/root.h"

namespace {

constexpr std::size_t kLineBuffer = 1024;  // a line holds at most 1023 bytes

}  // namespace

bool ReadListLines(const std::string& path, const std::function<bool(char* line)>& take) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char line[kLineBuffer];
  std::size_t len = 0;
  bool too_long = false;
  bool more = true;
  auto end_line = [&] {
    if (!too_long) {
      if (len > 0 && line[len - 1] == '\r') --len;
      line[len] = '\0';
      more = take(line);
    }
    len = 0;
    too_long = false;
  };
  char chunk[4096];
  while (more) {
    ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    if (got == 0) {
      if (len > 0 || too_long) end_line();  // a last line without newline
      break;
    }
    for (ssize_t k = 0; k < got && more; ++k) {
      if (chunk[k] == '\n') {
        end_line();
      } else if (len < kLineBuffer - 1) {
        line[len++] = chunk[k];
      } else {
        too_long = true;
      }
    }
  }
  return true;
}

bool ParseListInt32(const char* s, std::int32_t& out) {
  while (*s == ' ' || *s == '\t') ++s;
  bool negative = false;
  if (*s == '-' || *s == '+') negative = *s++ == '-';
  if (*s < '0' || *s > '9') return false;
  std::int64_t value = 0;
  constexpr std::int64_t kBound = std::int64_t{1} << 32;  // beyond either limit
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (value < kBound) value = value * 10 + (*s - '0');
  }
  if (negative) value = -value;
  using Limits = std::numeric_limits<std::int32_t>;
  out = static_cast<std::int32_t>(value > Limits::max()   ? Limits::max()
                                  : value < Limits::min() ? Limits::min()
                                                          : value);
  return true;
}

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
