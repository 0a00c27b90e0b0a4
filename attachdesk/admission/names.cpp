// File names as the list holds them.
#include <string_view>

#include "attachdesk/admission/admission.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/charset/charset.h"
#include "host/charset/japanese_width.h"

namespace {

// Copies the name into `buffer` of `size` bytes, whole characters of the
// charset only; in Shift_JIS with half-width katakana widened.
const char* NameInto(char* buffer, std::size_t size, const char* name, std::string_view charset) {
  if (name == nullptr || *name == '\0') return name;
  int value = MLC_CharsetWEncToValue(charset);
  std::size_t length = MLG_Copy(buffer, size, name, value);
  if (EqualsNoCase(charset, "x-sjis") || EqualsNoCase(charset, "Shift_JIS")) {
    MLG_Copy(buffer, size, MLG_JPH2F(buffer, length, 0), kCharsetShiftJis);
  }
  return buffer;
}

}  // namespace

const char* AD_NameForCharset(const char* name, const char* charset) {
  static char buffer[4096];
  std::string_view cs = charset && *charset ? std::string_view(charset) : UserCharset();
  return NameInto(buffer, sizeof buffer, name, cs);
}

const char* AD_NameForUser(const char* name) {
  static char buffer[512];
  return NameInto(buffer, sizeof buffer, name, UserCharset());
}
