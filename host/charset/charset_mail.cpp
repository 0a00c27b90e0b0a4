// The charset services that mail parsing needs, beside the web ones of
// charset.cpp.
#include "host/charset/charset.h"

int MLC_Text2UTF8(std::string_view in, std::string& out, int from) {
  return MLC_Text2UEnc(in, out, from, kCharsetUtf8);
}

const char* MLC_CharsetToMEncName(int value) {
  // The spellings of the IANA charset registry that mail programs write.
  static constexpr const char* kNames[kCharsetCount] = {
      "",       "UTF-8",      "Big5",         "Shift_JIS",  "ISO-2022-JP",
      "EUC-JP", "ISO-8859-1", "ISO-8859-2",   "ISO-8859-3", "ISO-8859-4",
      "GB2312", "EUC-KR",     "windows-1252", "US-ASCII",
  };
  return value > 0 && value < kCharsetCount ? kNames[value] : "";
}
