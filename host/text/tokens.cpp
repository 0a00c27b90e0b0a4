#include "host/text/tokens.h"

#include <cstring>

#include "host/base/ascii.h"

namespace {

bool In(char c, const char* set) {
  return c != '\0' && set != nullptr && std::strchr(set, c);
}

}  // namespace

const char* MLG_LocStrCase(const char* hay, const char* needle) {
  if (hay == nullptr || needle == nullptr) return nullptr;
  if (*needle == '\0') return hay;
  const char first = ascii::Lower(*needle);
  for (; *hay != '\0'; ++hay) {
    if (ascii::Lower(*hay) != first) continue;
    std::size_t i = 1;
    while (needle[i] != '\0' && ascii::Lower(hay[i]) == ascii::Lower(needle[i])) ++i;
    if (needle[i] == '\0') return hay;
  }
  return nullptr;
}

const char* MLG_TokPtr(const char* text, const char* name, const char* separators,
                       const char* assign) {
  if (text == nullptr || name == nullptr || *name == '\0') return nullptr;
  const std::size_t name_length = std::strlen(name);
  for (const char* at = MLG_LocStrCase(text, name); at != nullptr;
       at = MLG_LocStrCase(at + 1, name)) {
    const char* p = at + name_length;
    while (In(*p, separators)) ++p;
    if (!In(*p, assign)) continue;
    ++p;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return p;
  }
  return nullptr;
}

char* MLG_TokVal(const char* text, const char* name, const char* separators, const char* assign,
                 const char* terminators, char quote, char* out, std::size_t out_size) {
  const char* p = MLG_TokPtr(text, name, separators, assign);
  if (p == nullptr || out == nullptr) return nullptr;
  if (out_size == 0) return out;
  std::size_t w = 0;
  auto put = [&](char c) {
    if (w + 1 < out_size) out[w++] = c;
  };
  if (quote != '\0' && *p == quote) {
    for (++p; *p != '\0' && *p != quote; ++p) {
      if (*p == '\\' && p[1] != '\0') ++p;  // a quoted-pair (RFC 5322 section 3.2.1)
      put(*p);
    }
  } else {
    for (; *p != '\0' && !In(*p, terminators); ++p) put(*p);
  }
  out[w] = '\0';
  return out;
}
