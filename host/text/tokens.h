// Parameters of header values: "name=value" tokens found by name.
#pragma once

#include <cstddef>

// The first occurrence of `needle` in `hay`, ignoring ASCII case; null when
// absent (or either is null); `hay` itself for an empty needle.
const char* MLG_LocStrCase(const char* hay, const char* needle);

// Finds parameter `name` in `text`. The name is searched anywhere in the
// text, ignoring ASCII case, like MLG_LocStrCase: it need not begin a word, so
// "name" is also found inside "filename=". An occurrence counts when, after
// any run of `separators` characters (e.g. "*", spaces), the next byte is one
// of the `assign` characters; otherwise the search goes on with the next
// occurrence. Answers a pointer to the value: the byte after the assign
// character and after any spaces, TABs, CRs and LFs; null when no occurrence
// counts.
const char* MLG_TokPtr(const char* text, const char* name, const char* separators,
                       const char* assign);

// The value of parameter `name` (found as MLG_TokPtr finds it) copied into
// `out`, NUL-terminated and cut to out_size - 1 bytes. A value beginning with
// `quote` (when not NUL) ends at the next `quote` (or the text's end), a
// backslash inside it taking the next byte literally; any other value ends at
// one of `terminators` or the end. Answers out, or null when the parameter is
// absent (then `out` is left as it was).
char* MLG_TokVal(const char* text, const char* name, const char* separators, const char* assign,
                 const char* terminators, char quote, char* out, std::size_t out_size);
