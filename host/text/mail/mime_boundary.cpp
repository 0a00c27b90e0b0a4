#include "host/text/mail/mime_boundary.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

std::string mime_boundary() {
  static unsigned counter = 0;
  std::uint64_t random[2] = {0, 0};
  std::size_t got = 0;
  while (got < sizeof random) {
    ssize_t n = getrandom(reinterpret_cast<char*>(random) + got, sizeof random - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof random) {
    // No kernel randomness: the time, process and counter still keep the
    // boundary unique.
    random[0] ^= static_cast<std::uint64_t>(std::clock()) << 17;
    random[1] ^= reinterpret_cast<std::uintptr_t>(&counter);
  }
  char text[128];
  std::snprintf(text, sizeof text, "----_AD_%016llx%016llx_%ld.%lld.%u",
                static_cast<unsigned long long>(random[0]),
                static_cast<unsigned long long>(random[1]), static_cast<long>(getpid()),
                static_cast<long long>(std::time(nullptr)), counter++);
  return text;
}
