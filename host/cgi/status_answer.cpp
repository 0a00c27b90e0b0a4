#include "host/cgi/status_answer.h"

#include <cstdio>

void PrintStatusAnswer(const char* status, const char* reason) {
  std::printf("Status: %s\r\nContent-Type: text/plain\r\n\r\n%s\n", status, reason);
  std::fflush(stdout);
}
