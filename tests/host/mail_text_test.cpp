// Header text services of mail parsing: RFC 2047 words, parameter tokens,
// safe file names, Japanese conversions, mail charset names and the pool.
#include <iconv.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_root.h"

#include "host/account/safe_name.h"
#include "host/base/pool.h"
#include "host/charset/charset.h"
#include "host/charset/japanese.h"
#include "host/text/mail/encoded_words.h"
#include "host/text/tokens.h"

namespace {

using testing_support::VisibleHex;

// ---- RFC 2047 -------------------------------------------------------------

struct WordRow {
  const char* label;
  std::string in;
  std::string want;
  std::string want_charset;
};

TEST(EncodedWords, DecodeInPlace) {
  for (const WordRow& r : std::vector<WordRow>{
           {"utf-8 B", "=?UTF-8?B?5pel5pys?=", "\xE6\x97\xA5\xE6\x9C\xAC", "UTF-8"},
           {"iso-2022-jp B", "=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=.txt", "\x1b$BF|K\\\x1b(B.txt",
            "ISO-2022-JP"},
           {"Shift_JIS B", "=?Shift_JIS?b?k/qWew==?=", "\x93\xfa\x96\x7b", "Shift_JIS"},
           {"latin-1 Q", "=?iso-8859-1?q?caf=e9_au=20lait?=", "caf\xe9 au lait", "iso-8859-1"},
           {"language dropped", "=?utf-8*en?Q?hi?=", "hi", "utf-8"},
           {"adjacent joined", "=?utf-8?Q?a?= =?utf-8?Q?b?=", "ab", "utf-8"},
           {"folded joined", "=?utf-8?Q?a?=\r\n\t =?utf-8?Q?b?=", "ab", "utf-8"},
           {"text around kept", "Re: =?utf-8?Q?a?= x =?utf-8?Q?b?= y", "Re: a x b y", "utf-8"},
           {"first charset answered", "=?iso-8859-1?Q?a?= =?utf-8?Q?b?=", "ab", "iso-8859-1"},
           {"decoded NUL dropped", "=?utf-8?Q?a=00b?=", "ab", "utf-8"},
           {"no words", "plain = text ?= =?", "plain = text ?= =?", ""},
           {"unknown encoding", "=?utf-8?X?abc?=", "=?utf-8?X?abc?=", ""},
           {"unclosed", "=?utf-8?Q?abc", "=?utf-8?Q?abc", ""},
           {"space inside", "=?utf-8?Q?a b?=", "=?utf-8?Q?a b?=", ""},
           {"empty charset", "=??Q?a?=", "=??Q?a?=", ""},
           {"malformed then good", "=?x?Q =?utf-8?Q?a?=", "=?x?Q a", "utf-8"},
           {"blank before malformed kept", "=?utf-8?Q?a?= =?bad", "a =?bad", "utf-8"},
       }) {
    std::string text = r.in;
    std::string charset = MSTR_Decode(text.data());
    EXPECT_EQ(VisibleHex(text.c_str()), VisibleHex(r.want)) << r.label;
    EXPECT_EQ(charset, r.want_charset) << r.label;
  }
  EXPECT_EQ(MSTR_Decode(nullptr), "");
}

// Each "=?" starts an attempt; attempts must not rescan the rest of the text.
TEST(EncodedWords, HostileInputIsLinear) {
  // The last unit holds real words (each decodes to nothing); the others none.
  for (std::string unit : {"=?", "=?a?B?", "=?a?Q?x", "=?a?B?x?=?"}) {
    std::string text;
    while (text.size() < (4u << 20)) text += unit;
    std::string before = text;
    auto start = std::chrono::steady_clock::now();
    MSTR_Decode(text.data());
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 20.0) << unit;  // generous for sanitizers; quadratic takes minutes
    if (unit.size() < 9) {
      EXPECT_TRUE(std::strcmp(text.c_str(), before.c_str()) == 0) << unit;
    }
  }
}

// ---- tokens ---------------------------------------------------------------

TEST(Tokens, ValueByName) {
  struct Row {
    const char* label;
    const char* text;
    const char* name;
    std::size_t size;
    const char* want;  // null: absent
  };
  for (const Row& r : std::vector<Row>{
           {"quoted", "multipart/mixed; boundary=\"----=_Part_1 x\"", "boundary", 256,
            "----=_Part_1 x"},
           {"unquoted", "multipart/mixed; boundary=abc; charset=x", "boundary", 256, "abc"},
           {"blanks around =", "multipart/mixed; BOUNDARY = \"a\"", "boundary", 256, "a"},
           {"unfolded", "multipart/mixed;\tboundary=xyz", "boundary", 256, "xyz"},
           {"value at end", "text/plain; charset=utf-8", "charset", 16, "utf-8"},
           {"escaped quote", "a; name=\"x\\\"y\"", "name", 256, "x\"y"},
           {"unclosed quote", "a; name=\"xy", "name", 256, "xy"},
           {"cut", "a; boundary=abcdef", "boundary", 4, "abc"},
           {"inside another word", "attachment; filename=a.txt", "name", 256, "a.txt"},
           {"occurrence without =", "name-less; name=x", "name", 256, "x"},
           {"absent", "multipart/mixed", "boundary", 256, nullptr},
           {"name without value", "a; boundary", "boundary", 256, nullptr},
       }) {
    char out[256] = "unchanged";
    char* got = MLG_TokVal(r.text, r.name, " \n\t", "=", " \n\t;", '"', out, r.size);
    if (r.want == nullptr) {
      EXPECT_EQ(got, nullptr) << r.label;
      EXPECT_STREQ(out, "unchanged") << r.label;
    } else {
      EXPECT_EQ(got, out) << r.label;
      EXPECT_STREQ(out, r.want) << r.label;
    }
  }
}

TEST(Tokens, PointerAndSearch) {
  const char* disposition = "attachment; filename*=utf-8''%E6.txt";
  EXPECT_STREQ(MLG_TokPtr(disposition, "name", "* \n\t", "="), "utf-8''%E6.txt");
  EXPECT_STREQ(MLG_TokPtr("inline; Name=\n x", "name", "* \n\t", "="), "x");
  EXPECT_EQ(MLG_TokPtr("inline", "name", "* \n\t", "="), nullptr);
  EXPECT_EQ(MLG_TokPtr(nullptr, "name", "", "="), nullptr);
  const char* hay = "Content-Type: Text/HTML";
  EXPECT_EQ(MLG_LocStrCase(hay, "text/html"), hay + 14);
  EXPECT_EQ(MLG_LocStrCase(hay, ""), hay);
  EXPECT_EQ(MLG_LocStrCase(hay, "plain"), nullptr);
}

// ---- safe file names ------------------------------------------------------

TEST(SafeFileName, ReplacesUnsafeAndKeepsCharacters) {
  struct Row {
    const char* label;
    const char* in;
    std::size_t size;
    int scheme;
    const char* want;
  };
  for (const Row& r : std::vector<Row>{
           {"separators", "a/b\\c", 64, kSchemeSingleByte, "a_b_c"},
           {"reserved", "a:*?\"<>|b", 64, kSchemeSingleByte, "a_______b"},
           {"controls", "a\x01\tb\x7f", 64, kSchemeSingleByte, "a__b_"},
           {"latin-1 bytes kept", "caf\xe9", 64, kSchemeSingleByte, "caf\xe9"},
           {"leading dots and blanks", " ..hidden.txt", 64, kSchemeSingleByte, "hidden.txt"},
           {"only dots", "...", 64, kSchemeSingleByte, "_"},
           {"empty", "", 64, kSchemeSingleByte, "_"},
           {"sjis 0x5C trail kept", "\x83\x5c\x95\x5c.txt", 64, kSchemeShiftJis,
            "\x83\x5c\x95\x5c.txt"},
           {"sjis backslash outside", "a\\b\xb1", 64, kSchemeShiftJis, "a_b\xb1"},
           {"sjis lone lead", "a\x83", 64, kSchemeShiftJis, "a_"},
           {"sjis not cut", "a\x83\x5c", 3, kSchemeShiftJis, "a"},
           {"big5 0x5C trail kept", "\xa5\x5c/", 64, kSchemeBig5, "\xa5\x5c_"},
           {"euc", "\xa4\xa2\x8e\xb1\x8f\xa2\xaf/", 64, kSchemeEuc,
            "\xa4\xa2\x8e\xb1\x8f\xa2\xaf_"},
           {"utf-8 kept", "\xE6\x97\xA5/\xE6\x9C\xAC", 64, kSchemeUtf8,
            "\xE6\x97\xA5_\xE6\x9C\xAC"},
           {"utf-8 fits", "ab\xE6\x97\xA5\xE6\x9C\xAC", 6, kSchemeUtf8, "ab\xE6\x97\xA5"},
           {"utf-8 not cut", "ab\xE6\x97\xA5", 5, kSchemeUtf8, "ab"},
           {"utf-8 broken", "a\xff\xE6\x97", 64, kSchemeUtf8, "a___"},
           {"utf-8 overlong", "\xC0\xAF", 64, kSchemeUtf8, "__"},
           {"size 2 empty name", "..", 2, kSchemeUtf8, "_"},
           {"size 1", "abc", 1, kSchemeUtf8, ""},
       }) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(MLG_SafeFileName(r.in, out, r.size, r.scheme), out);
    EXPECT_EQ(VisibleHex(out), VisibleHex(r.want)) << r.label;
    EXPECT_LT(strlen(out), r.size) << r.label;
  }
  char out[8];
  EXPECT_STREQ(MLG_SafeFileName(nullptr, out, sizeof out, kSchemeUtf8), "_");
}

// ---- Japanese -------------------------------------------------------------

std::string Jis2Sjis(std::string s) {
  std::size_t n = MLG_JPJis2Sjis(s.data(), s.size());
  EXPECT_LE(n, s.size());
  s.resize(n);
  return s;
}

TEST(Japanese, Jis2Sjis) {
  struct Row {
    const char* label;
    std::string in;
    std::string want;
  };
  for (const Row& r : std::vector<Row>{
           {"nihon", "\x1b$BF|K\\\x1b(B", "\x93\xfa\x96\x7b"},
           {"mixed", "abc\x1b$BF|\x1b(Bdef\r\n",
            "abc\x93\xfa"
            "def\r\n"},
           {"1978 set and roman", "\x1b$@F|\x1b(Jx", "\x93\xfax"},
           {"half-width kana", "\x1b(I12\x1b(B", "\xb1\xb2"},
           {"SO/SI kana",
            "\x0e\x31\x0f"
            "a",
            "\xb1"
            "a"},
           {"NEC circled one", "\x1b$B-!\x1b(B", "\x87\x40"},
           {"plain", "plain", "plain"},
           {"odd byte: unchanged", "\x1b$BF", "\x1b$BF"},
           {"unknown escape: unchanged", "\x1b$Aab", "\x1b$Aab"},
           {"8-bit: unchanged", "\x1b$BF|\x1b(B\xe9", "\x1b$BF|\x1b(B\xe9"},
       }) {
    EXPECT_EQ(VisibleHex(Jis2Sjis(r.in)), VisibleHex(r.want)) << r.label;
  }
}

// The arithmetic conversion gives what iconv gives for every JIS X 0208
// character that iconv knows.
TEST(Japanese, Jis2SjisAgreesWithIconv) {
  iconv_t cd = iconv_open("CP932", "ISO-2022-JP");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int compared = 0;
  for (int j1 = 0x21; j1 <= 0x7e; ++j1) {
    for (int j2 = 0x21; j2 <= 0x7e; ++j2) {
      std::string jis = std::string("\x1b$B") + char(j1) + char(j2) + "\x1b(B";
      char out[8];
      char* src = jis.data();
      char* dst = out;
      std::size_t left = jis.size(), room = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &src, &left, &dst, &room) == static_cast<std::size_t>(-1)) continue;
      ++compared;
      ASSERT_EQ(VisibleHex(Jis2Sjis(jis)), VisibleHex(std::string(out, dst - out)))
          << std::hex << j1 << " " << j2;
    }
  }
  iconv_close(cd);
  EXPECT_GT(compared, 6800);
}

TEST(Japanese, Euc2Sjis) {
  MLG_JPInit();
  std::string out;
  EXPECT_EQ(MLG_JPEuc2Sjis("a\xc6\xfc\xcb\xdc\x8e\xb1\xad\xa1", out), 0);
  EXPECT_EQ(VisibleHex(out), VisibleHex("a\x93\xfa\x96\x7b\xb1\x87\x40"));
  EXPECT_EQ(MLG_JPEuc2Sjis("ok\xc6", out), -1);  // cut character
  EXPECT_EQ(out, "ok\xc6");
  EXPECT_EQ(MLG_JPEuc2Sjis("", out), 0);
  EXPECT_EQ(out, "");
}

// ---- mail charset names ---------------------------------------------------

TEST(MailCharset, NamesAndUtf8) {
  const std::vector<std::pair<int, const char*>> names = {
      {kCharsetUnknown, ""},
      {kCharsetUtf8, "UTF-8"},
      {kCharsetBig5, "Big5"},
      {kCharsetShiftJis, "Shift_JIS"},
      {kCharsetIso2022Jp, "ISO-2022-JP"},
      {kCharsetEucJp, "EUC-JP"},
      {kCharsetIso8859_1, "ISO-8859-1"},
      {kCharsetIso8859_4, "ISO-8859-4"},
      {kCharsetUsAscii, "US-ASCII"},
      {kCharsetCount, ""},
      {-1, ""},
  };
  for (const auto& [value, name] : names) {
    EXPECT_STREQ(MLC_CharsetToMEncName(value), name) << value;
    if (*name) {
      EXPECT_EQ(MLC_CharsetWEncToValue(name), value) << name;
    }
  }
  std::string out;
  EXPECT_EQ(MLC_Text2UTF8("\x93\xfa\x96\x7b", out, kCharsetShiftJis), 0);
  EXPECT_EQ(out, "\xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(MLC_Text2UTF8("caf\xe9", out, kCharsetIso8859_1), 0);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_EQ(MLC_Text2UTF8("x", out, kCharsetUnknown), -1);
  EXPECT_EQ(out, "");
}

// ---- pool -----------------------------------------------------------------

TEST(Pool, AlignedZeroedAndReleased) {
  MemPool pool;
  std::vector<unsigned char*> pieces;
  for (std::size_t size : {0, 1, 7, 16, 17, 100, 5000, 20000, 1 << 20, 3}) {
    auto* p = static_cast<unsigned char*>(my_Xalloc(pool, size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u) << size;
    for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << size << " at " << i;
    std::memset(p, 0xAB, size);  // ASan: each piece is writable to its end
    pieces.push_back(p);
  }
  EXPECT_GE(pool.bytes_used(), (1u << 20) + 20000u);
  char* copy = PoolStrDup(pool, "abcdef", 3);
  EXPECT_STREQ(copy, "abc");
  EXPECT_STREQ(PoolStrDup(pool, nullptr, 0), "");
  my_Xfree(pool);
  EXPECT_EQ(pool.bytes_used(), 0u);
  auto* again = static_cast<unsigned char*>(pool.Alloc(64));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(again[i], 0);
}

}  // namespace
