#include "common/attach/list_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/base/unique_fd.h"

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
