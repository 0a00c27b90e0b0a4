#include "host/base/time_text.h"

#include <cstdio>
#include <cstdlib>

std::string MTM_ToStr(const char* format, std::time_t when) {
  if (!format) return {};
  std::tm tm;
  if (!localtime_r(&when, &tm)) return {};
  char text[256];
  std::size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

std::string MTM_ToStr(const char* format) {
  return MTM_ToStr(format, std::time(nullptr));
}

std::string MTM_RFC822Str(std::time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm;
  if (!localtime_r(&when, &tm)) return {};
  long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
  char sign = offset < 0 ? '-' : '+';
  offset = std::labs(offset);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                sign, offset / 60, offset % 60);
  return text;
}
