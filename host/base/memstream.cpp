#include "host/base/memstream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void MEM_WFPOpen(MEM_WFP& fp) {
  fp.data.clear();
  fp.open = true;
}

int MEM_WFPPrintf(MEM_WFP& fp, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) {
    va_end(copy);
    return -1;
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    fp.data.append(small, static_cast<std::size_t>(n));
  } else {
    std::size_t old = fp.data.size();
    fp.data.resize(old + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(fp.data.data() + old, static_cast<std::size_t>(n) + 1, format, copy);
    fp.data.resize(old + static_cast<std::size_t>(n));
  }
  va_end(copy);
  return n;
}

int MEM_WFPWrite(MEM_WFP& fp, const void* data, std::size_t length, int /*flags*/) {
  fp.data.append(static_cast<const char*>(data), length);
  return static_cast<int>(length);
}

void MEM_WFPClose(MEM_WFP& fp) {
  fp.data.clear();
  fp.data.shrink_to_fit();
  fp.open = false;
}

void MEM_FPInit(MEM_FP& fp, const char* data, std::size_t length) {
  fp.data = std::string_view(data ? data : "", data ? length : 0);
  fp.pos = 0;
}

char* MEM_FPGets(MEM_FP& fp, char* line, std::size_t size) {
  if (size == 0 || fp.pos >= fp.data.size()) return nullptr;
  std::string_view rest = fp.data.substr(fp.pos);
  std::size_t nl = rest.find('\n');
  std::size_t n = nl == std::string_view::npos ? rest.size() : nl + 1;
  if (n > size - 1) n = size - 1;
  std::memcpy(line, rest.data(), n);
  line[n] = '\0';
  fp.pos += n;
  return line;
}
