// Bounded copies into fixed-size fields and byte-string comparisons.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Copies `src` into `dst` of `size` bytes, cutting it to size - 1 bytes, and
// always ends it with NUL (when size > 0). Answers the bytes copied.
std::size_t MSTR_Copy(char* dst, std::size_t size, std::string_view src);

// The same with at most `count` bytes of `src`.
std::size_t MSTR_NCopy(char* dst, std::size_t size, std::string_view src, std::size_t count);

// Comparisons answer <0, 0 or >0 like strcmp; null pointers sort first.
int MSTR_Cmp(const char* a, const char* b);
int MSTR_CaseCmp(const char* a, const char* b);
int MSTR_NCmp(const char* a, const char* b, std::size_t n);
int MSTR_NCaseCmp(const char* a, const char* b, std::size_t n);

// The first occurrence of `needle` in `hay`, ignoring ASCII case; null when
// absent.
const char* MSTR_LocStr(const char* hay, const char* needle);

// Shell pattern match ("*", "?", "[...]"); 0 on a match like fnmatch(3).
int MSTR_fnmatch(const char* pattern, const char* text, int flags);

// The non-empty components of a "/"-separated path, in order ("/a//b/" gives
// "a" and "b").
std::vector<std::string_view> PathParts(std::string_view path);

// `text` without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);

// ASCII case-insensitive prefix and equality tests.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EqualsNoCase(std::string_view a, std::string_view b);

// printf into a new string.
std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StrVPrintf(const char* format, va_list ap);
