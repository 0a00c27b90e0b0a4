#include "host/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "host/root.h"

namespace {

std::string Format(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

void LOG_FileStr(const std::string& path, std::string_view text) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  // One write per entry: O_APPEND keeps entries of concurrent processes whole.
  ssize_t n = write(fd, text.data(), text.size());
  (void)n;
  close(fd);
}

void LOG_FileLine(const std::string& path, const char* format, ...) {
  char stamp[64];
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  std::size_t n = std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  std::string line(stamp, n);
  line += " [" + std::to_string(static_cast<long long>(getpid())) + "] ";
  va_list ap;
  va_start(ap, format);
  line += Format(format, ap);
  va_end(ap);
  line += '\n';
  LOG_FileStr(path, line);
}

void LOG_FileStr2(const std::string& path, int /*flags*/, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = Format(format, ap);
  va_end(ap);
  LOG_FileStr(path, text);
}

std::string ErrorLogPath() { return host::RootPath("log/error.log"); }
