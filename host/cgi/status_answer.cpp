#include "host/cgi/status_answer.h"

#include <cstdio>

void PrintStatusAnswer(const char* status, const char* reason, const char* headers) {
  std::printf("Status: %s\r\n%sContent-Type: text/plain\r\n\r\n%s\n", status, headers, reason);
  std::fflush(stdout);
}
