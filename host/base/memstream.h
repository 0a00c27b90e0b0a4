// Growable memory streams: a writer that collects text and a line reader over
// a buffer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct MEM_WFP {
  std::string data;  // what was written; its length is data.size()
  bool open = false;
};

void MEM_WFPOpen(MEM_WFP& fp);
int MEM_WFPPrintf(MEM_WFP& fp, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends `length` bytes; `flags` is kept for callers and ignored.
int MEM_WFPWrite(MEM_WFP& fp, const void* data, std::size_t length, int flags);
void MEM_WFPClose(MEM_WFP& fp);

struct MEM_FP {
  std::string_view data;
  std::size_t pos = 0;
};

void MEM_FPInit(MEM_FP& fp, const char* data, std::size_t length);

// Reads the next line like fgets(3): at most size - 1 bytes, the newline kept
// when it fits, NUL-terminated. Null at the end of the buffer.
char* MEM_FPGets(MEM_FP& fp, char* line, std::size_t size);
