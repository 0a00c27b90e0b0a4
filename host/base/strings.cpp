#include "host/base/strings.h"

#include <fnmatch.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "host/base/ascii.h"

std::size_t MSTR_Copy(char* dst, std::size_t size, std::string_view src) {
  if (dst == nullptr || size == 0) return 0;
  std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

std::size_t MSTR_NCopy(char* dst, std::size_t size, std::string_view src, std::size_t count) {
  return MSTR_Copy(dst, size, src.substr(0, count));
}

int MSTR_Cmp(const char* a, const char* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return std::strcmp(a, b);
}

int MSTR_CaseCmp(const char* a, const char* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return strcasecmp(a, b);
}

int MSTR_NCmp(const char* a, const char* b, std::size_t n) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return std::strncmp(a, b, n);
}

int MSTR_NCaseCmp(const char* a, const char* b, std::size_t n) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return strncasecmp(a, b, n);
}

const char* MSTR_LocStr(const char* hay, const char* needle) {
  if (!hay || !needle) return nullptr;
  return strcasestr(hay, needle);
}

int MSTR_fnmatch(const char* pattern, const char* text, int flags) {
  if (!pattern || !text) return FNM_NOMATCH;
  return fnmatch(pattern, text, flags);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii::Lower(a[i]) != ascii::Lower(b[i])) return false;
  }
  return true;
}

std::string StrVPrintf(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, ap);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string StrPrintf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out = StrVPrintf(format, ap);
  va_end(ap);
  return out;
}

std::vector<std::string_view> PathParts(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && ascii::IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && ascii::IsBlank(text.back())) text.remove_suffix(1);
  return text;
}
