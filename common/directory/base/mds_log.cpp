#include "common/directory/base/mds_log.h"

#include <cstdarg>

#include "host/base/strings.h"
#include "host/files/log.h"
#include "host/files/root.h"

void MdsLog(const std::string& path, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = StrVPrintf(format, ap);
  va_end(ap);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  LOG_FileLine(path, "%s", text.c_str());
}

std::string LgrpLogPath() {
  return host::RootPath("log/libquenbylgrp_err.log");
}

std::string MdsLoadLogPath() {
  return host::RootPath("log/mds.log");
}
