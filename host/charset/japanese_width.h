// Character widths of Japanese text and bounded copies that keep characters
// whole.
#pragma once

#include <cstddef>

// Widens the half-width katakana of Shift_JIS text (single bytes 0xA1 to
// 0xDF) to their full-width characters; a half-width voiced or semi-voiced
// sound mark after a letter that has a combined form is joined with it
// ("ｶﾞ" becomes "ガ"). Two-byte characters and other bytes stay. Answers the
// widened text, NUL-terminated, in a buffer owned by this module that stays
// valid until the next call (it may be passed to MLG_Copy together with the
// text it was made from). `flags` is unused (0).
const char* MLG_JPH2F(const char* text, std::size_t length, int flags);

// Copies the NUL-terminated `src` into `dst` of `size` bytes, always ending it
// with NUL (when size > 0). A text that does not fit is cut before a whole
// character of charset `charset_value` (MLC_CharsetWEncToValue numbering:
// 1 UTF-8, 3 Shift_JIS and the other two-byte charsets; 0 cuts anywhere), so
// that no character is split. `src` and `dst` may overlap. Answers the bytes
// copied.
std::size_t MLG_Copy(char* dst, std::size_t size, const char* src, int charset_value);
