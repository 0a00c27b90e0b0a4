// Japanese text conversions to Shift_JIS (CP932). ISO-2022-JP is converted
// by arithmetic (JIS X 0208 with the NEC row 13, half-width katakana after
// ESC ( I or SO), EUC-JP through iconv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Prepares the conversions; optional (the conversions prepare themselves).
void MLG_JPInit();

// ISO-2022-JP to Shift_JIS in place; answers the new length (never longer).
// Text that does not convert stays as it was.
std::size_t MLG_JPJis2Sjis(char* text, std::size_t length);

// EUC-JP to Shift_JIS into `out`; answers 0, or -1 (and `out` = the input)
// when the text does not convert.
int MLG_JPEuc2Sjis(std::string_view in, std::string& out);
