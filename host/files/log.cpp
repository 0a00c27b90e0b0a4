#include "host/files/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "host/base/strings.h"
#include "host/files/root.h"

void LOG_FileStr(const std::string& path, std::string_view text) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  // One write per entry: O_APPEND keeps entries of concurrent processes whole.
  ssize_t n = write(fd, text.data(), text.size());
  (void)n;
  close(fd);
}

std::string LOG_Clean(std::string_view text) {
  std::string clean(text);
  for (char& c : clean) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '_';
  }
  return clean;
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
  line += LOG_Clean(StrVPrintf(format, ap));
  va_end(ap);
  line += '\n';
  LOG_FileStr(path, line);
}

void host_log::FileStr2(const std::string& path, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = StrVPrintf(format, ap);
  va_end(ap);
  LOG_FileStr(path, text);
}

std::string ErrorLogPath() { return host::RootPath("log/error.log"); }
