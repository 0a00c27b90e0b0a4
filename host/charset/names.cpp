#include "host/charset/names.h"

#include "host/charset/charset.h"

bool IsTwoByteCharset(int v) {
  return v == kCharsetShiftJis || v == kCharsetBig5 || v == kCharsetEucJp ||
         v == kCharsetGb2312 || v == kCharsetEucKr;
}

bool IsLeadByte(int v, unsigned char c) {
  switch (v) {
    case kCharsetShiftJis:
      return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
    case kCharsetBig5:
      return c >= 0x81 && c <= 0xfe;
    case kCharsetEucJp:
      return c == 0x8e || (c >= 0xa1 && c <= 0xfe);
    case kCharsetGb2312:
    case kCharsetEucKr:
      return c >= 0xa1 && c <= 0xfe;
    default:
      return false;
  }
}

std::string_view purename(std::string_view name) {
  size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

std::string_view MLG_ExtractFilename(std::string_view name, int charset_value) {
  if (!IsTwoByteCharset(charset_value)) return purename(name);
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(charset_value, c) && i + 1 < name.size()) {
      ++i;  // the second byte never separates
    } else if (c == '/' || c == '\\') {
      start = i + 1;
    }
  }
  return name.substr(start);
}
