// Character set names, their numbers, and conversions (iconv).
#pragma once

#include <string>
#include <string_view>

enum CharsetValue {
  kCharsetUnknown = 0,
  kCharsetUtf8 = 1,
  kCharsetBig5 = 2,
  kCharsetShiftJis = 3,
  kCharsetIso2022Jp = 4,
  kCharsetEucJp = 5,
  kCharsetIso8859_1 = 6,
  kCharsetIso8859_2 = 7,
  kCharsetIso8859_3 = 8,
  kCharsetIso8859_4 = 9,
  kCharsetGb2312 = 10,
  kCharsetEucKr = 11,
  kCharsetWindows1252 = 12,
  kCharsetUsAscii = 13,
  kCharsetCount
};

// The number of a charset name, ignoring case, with common aliases; 0 unknown.
int MLC_CharsetWEncToValue(std::string_view name);

// The canonical web name of a charset number; "" for 0 or an unknown number.
const char* MLC_CharsetToWEncName(int value);

// The name iconv knows the charset by; "" when unknown.
const char* CharsetIconvName(int value);

// Converts `in` from charset `from` to charset `to`. 0 on success; -1 when a
// charset is unknown or the text cannot be converted (then `out` is empty).
// Characters the target cannot hold become decimal character references
// ("&#NNNN;").
int MLC_Text2UEnc(std::string_view in, std::string& out, int from, int to);

// Converts `in` from charset `from` to UTF-8. 0 on success, -1 otherwise
// (then `out` is empty).
int MLC_Text2UTF8(std::string_view in, std::string& out, int from);

// The name of a charset number as mail headers write it ("UTF-8",
// "ISO-2022-JP", "Shift_JIS", ...); "" for 0 or an unknown number.
const char* MLC_CharsetToMEncName(int value);
