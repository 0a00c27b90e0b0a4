#include "host/charset/charset.h"

#include <iconv.h>

#include <cerrno>

#include "host/base/strings.h"

namespace {

struct CharsetName {
  const char* name;
  int value;
};

// Names and aliases, compared ignoring case; the first name of a value is its
// canonical web name.
constexpr CharsetName kNames[] = {
    {"utf-8", kCharsetUtf8},          {"utf8", kCharsetUtf8},
    {"big5", kCharsetBig5},           {"big-5", kCharsetBig5},
    {"cn-big5", kCharsetBig5},        {"x-x-big5", kCharsetBig5},
    {"Shift_JIS", kCharsetShiftJis},  {"x-sjis", kCharsetShiftJis},
    {"sjis", kCharsetShiftJis},       {"shift-jis", kCharsetShiftJis},
    {"cp932", kCharsetShiftJis},      {"windows-31j", kCharsetShiftJis},
    {"ms_kanji", kCharsetShiftJis},   {"iso-2022-jp", kCharsetIso2022Jp},
    {"jis", kCharsetIso2022Jp},       {"euc-jp", kCharsetEucJp},
    {"x-euc-jp", kCharsetEucJp},      {"eucjp", kCharsetEucJp},
    {"iso-8859-1", kCharsetIso8859_1}, {"latin1", kCharsetIso8859_1},
    {"iso8859-1", kCharsetIso8859_1}, {"iso_8859-1", kCharsetIso8859_1},
    {"l1", kCharsetIso8859_1},        {"iso-8859-2", kCharsetIso8859_2},
    {"latin2", kCharsetIso8859_2},    {"iso8859-2", kCharsetIso8859_2},
    {"iso-8859-3", kCharsetIso8859_3}, {"latin3", kCharsetIso8859_3},
    {"iso-8859-4", kCharsetIso8859_4}, {"latin4", kCharsetIso8859_4},
    {"gb2312", kCharsetGb2312},       {"gbk", kCharsetGb2312},
    {"euc-cn", kCharsetGb2312},       {"euc-kr", kCharsetEucKr},
    {"ks_c_5601-1987", kCharsetEucKr}, {"windows-1252", kCharsetWindows1252},
    {"cp1252", kCharsetWindows1252},  {"us-ascii", kCharsetUsAscii},
    {"ascii", kCharsetUsAscii},
};

// What iconv calls each value; CP932 and BIG5-HKSCS are supersets that the
// mail programs of those regions actually send.
constexpr const char* kIconvNames[kCharsetCount] = {
    "",          "UTF-8",      "BIG5-HKSCS", "CP932",      "ISO-2022-JP", "EUC-JP",
    "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "GBK",         "EUC-KR",
    "CP1252",    "ASCII",
};

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Length and code point of the UTF-8 sequence at the front of `s` (1 and the
// byte for an invalid one).
size_t Utf8Next(std::string_view s, unsigned& cp) {
  unsigned char c = static_cast<unsigned char>(s[0]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  if (n > s.size()) n = 1;
  cp = n == 1 ? c : c & (0x7f >> n);
  for (size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3f);
  return n;
}

// Converts with `cd`; characters the target cannot hold become "&#N;" when
// the source is UTF-8, otherwise the conversion fails.
bool Convert(iconv_t cd, std::string_view in, std::string& out, bool source_utf8) {
  out.clear();
  char buf[4096];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (true) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = left ? iconv(cd, &src, &left, &dst, &room) : iconv(cd, nullptr, nullptr, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r != static_cast<size_t>(-1)) {
      if (left == 0) {
        if (src == nullptr) return true;
        src = nullptr;  // flush the shift state
        continue;
      }
      continue;
    }
    if (errno == E2BIG) continue;
    if (errno == EILSEQ && source_utf8) {
      unsigned cp = 0;
      size_t n = Utf8Next(std::string_view(src, left), cp);
      out += "&#" + std::to_string(cp) + ";";
      src += n;
      left -= n;
      continue;
    }
    return false;
  }
}

}  // namespace

int MLC_CharsetWEncToValue(std::string_view name) {
  for (const auto& n : kNames) {
    if (EqualsNoCase(name, n.name)) return n.value;
  }
  return kCharsetUnknown;
}

const char* MLC_CharsetToWEncName(int value) {
  for (const auto& n : kNames) {
    if (n.value == value) return n.name;
  }
  return "";
}

const char* CharsetIconvName(int value) {
  return value > 0 && value < kCharsetCount ? kIconvNames[value] : "";
}

int MLC_Text2UEnc(std::string_view in, std::string& out, int from, int to) {
  out.clear();
  if (!*CharsetIconvName(from) || !*CharsetIconvName(to)) return -1;
  if (from == to) {
    out.assign(in);
    return 0;
  }
  std::string utf8;
  if (from != kCharsetUtf8) {
    Iconv dec("UTF-8", CharsetIconvName(from));
    if (!dec.ok() || !Convert(dec.get(), in, utf8, false)) return -1;
    in = utf8;
  }
  if (to == kCharsetUtf8) {
    out.assign(in);
    return 0;
  }
  Iconv enc(CharsetIconvName(to), "UTF-8");
  if (!enc.ok() || !Convert(enc.get(), in, out, true)) {
    out.clear();
    return -1;
  }
  return 0;
}
