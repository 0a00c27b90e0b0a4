// File names that are safe to store and to offer for download.
#pragma once

#include <cstddef>

// Multibyte schemes for walking names.
enum NameScheme {
  kSchemeSingleByte = 0,
  kSchemeBig5 = 1,
  kSchemeUtf8 = 2,
  kSchemeShiftJis = 3,
  kSchemeEuc = 4,
};

// Copies `src` into `dst` (NUL-terminated, at most size - 1 bytes, never
// cutting a character of the scheme): path separators "/" and "\" (outside
// multibyte characters), control bytes and the characters : * ? " < > | are
// replaced by "_", leading dots and spaces are dropped, and an empty result
// becomes "_" (with size 1 it stays ""). A byte that starts no valid
// character of the scheme (a lone lead or trail byte, broken UTF-8) becomes
// "_" too. Answers dst; nothing is written when size is 0.
char* MLG_SafeFileName(const char* src, char* dst, std::size_t size, int scheme);
