// Client file names in Unicode.
//
// A browser sends the file name of an upload in the charset of the page that
// holds the form (the user's charset), or, as many now do, in UTF-8 whatever
// the page's charset. Names kept in UTF-8 show right whatever charset the
// list is later shown in.
#pragma once

#include <cstddef>
#include <string_view>

// What MLC_UText2Unicode put into its buffer.
inline constexpr int kUniSentAsUtf8 = 1;  // the name was UTF-8 already
inline constexpr int kUniConverted = 2;   // converted from the user's charset

// Puts `name` into `out` (`size` bytes, NUL-terminated) in UTF-8 and answers
// non-zero, with `*flag` saying how (above), when the name needs it: the
// user's charset (`charset_value`, MLC_CharsetWEncToValue numbering) is known
// and not UTF-8, and the name holds more than printable ASCII. A name with
// bytes above 0x7F that is valid UTF-8 is taken as UTF-8; any other is
// converted from the user's charset. Answers 0 and leaves `out` alone when
// the name is fine as sent, does not convert, or does not fit.
int MLC_UText2Unicode(std::string_view name, char* out, std::size_t size, int charset_value,
                      int* flag);

// The text to use from a buffer MLC_UText2Unicode filled (the UTF-8 name).
const char* Uni2Unicode(const char* buffer, int flag);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values above U+10FFFF).
bool MLC_IsUtf8(std::string_view text);
