// Names of files sent by clients.
#pragma once

#include <string_view>

// The last path component of a client file name: the text after the last "/"
// or "\" (the whole name when there is none).
std::string_view purename(std::string_view name);

// purename() that knows two-byte characters: a "\" or "/" that is the second
// byte of a two-byte character of the charset (by MLC_CharsetWEncToValue
// value) does not separate.
std::string_view MLG_ExtractFilename(std::string_view name, int charset_value);

// Non-zero when `charset_value` is a charset with two-byte characters whose
// second byte may be ASCII (Shift_JIS, Big5).
bool IsTwoByteCharset(int charset_value);
// Non-zero when `c` may begin a two-byte character in that charset.
bool IsLeadByte(int charset_value, unsigned char c);
