// Transfer-encoding codecs: known vectors, tolerance of extra white space, a
// reference comparison for the fast base64 path, and every prefix of every
// encoded sample decoded from an exactly sized buffer (ASan watches the ends).
#include "host/text/codecs.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_root.h"

namespace {

using testing_support::VisibleHex;

using Decoder = std::function<std::size_t(char*, std::size_t)>;

std::string Decode(const Decoder& decode, std::string s) {
  std::size_t n = decode(s.data(), s.size());
  EXPECT_LE(n, s.size());
  s.resize(n);
  return s;
}

std::size_t Uu2(char* data, std::size_t length) {
  char name[64];
  return MTX_UUDec2(data, length, name, sizeof name);
}

const Decoder kBase64 = MTX_Base64Dec, kQp = MTX_QPDec, kUu = MTX_UUDec, kUu2 = Uu2;

struct Row {
  const char* label;
  std::string in;
  std::string want;
};

void ExpectRows(const Decoder& decode, const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    EXPECT_EQ(VisibleHex(Decode(decode, r.in)), VisibleHex(r.want)) << r.label << ": " << VisibleHex(r.in);
  }
}

std::string Base64Encode(std::string_view data, std::size_t line = 0) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[v & 63] : '=';
    if (line && (i / 3 + 1) % (line / 4) == 0) out += "\r\n";
  }
  return out;
}

TEST(Base64, Rfc4648VectorsAndSkippedBytes) {
  ExpectRows(kBase64, {
                          {"empty", "", ""},
                          {"f", "Zg==", "f"},
                          {"fo", "Zm8=", "fo"},
                          {"foo", "Zm9v", "foo"},
                          {"foob", "Zm9vYg==", "foob"},
                          {"fooba", "Zm9vYmE=", "fooba"},
                          {"foobar", "Zm9vYmFy", "foobar"},
                          {"unpadded 2", "Zg", "f"},
                          {"unpadded 3", "Zm8", "fo"},
                          {"one char dropped", "Zm9vY", "foo"},
                          {"stops at pad", "Zg==Zm9v", "f"},
                          {"pad mid quantum", "Zm9vYmF=eXh4", "fooba"},
                          {"binary", "AP8A/w==", std::string("\0\xff\0\xff", 4)},
                          {"crlf", "Zm9v\r\nYmFy\r\n", "foobar"},
                          {"lf inside quantum", "Zm\n9vYm\nFy", "foobar"},
                          {"spaces", " Z m 9 v Y m F y ", "foobar"},
                          {"garbage", "Zm9v!*YmFy\x01\xff.", "foobar"},
                          {"nul", std::string("Zm9v\0YmFy", 9), "foobar"},
                      });
}

// The eight-character fast path, the four-character path and the careful
// path must agree: random data with line breaks of many widths and junk
// inserted at random places decode back to the data.
TEST(Base64, FastPathMatchesData) {
  std::mt19937 rng(2047);
  for (int round = 0; round < 300; ++round) {
    std::string data(rng() % 400, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::string enc = Base64Encode(data, (rng() % 3) * 4 * (1 + rng() % 20));
    for (int junk = rng() % 6; junk > 0; --junk) {
      enc.insert(rng() % (enc.size() + 1), 1, " \r\n\t!~\x80"[rng() % 7]);
    }
    // Junk may land after the pad, where it does not matter.
    EXPECT_EQ(Decode(kBase64, enc), data) << "round " << round << ": " << VisibleHex(enc);
  }
}

TEST(QuotedPrintable, Rfc2045Rules) {
  ExpectRows(kQp, {
                      {"plain", "plain text\r\n", "plain text\r\n"},
                      {"=3D", "a=3Db", "a=b"},
                      {"lower hex", "caf=e9 caf=E9", "caf\xe9 caf\xe9"},
                      {"soft crlf", "Now's the time =\r\nfor all", "Now's the time for all"},
                      {"soft lf", "ab=\ncd", "abcd"},
                      {"soft after blanks", "ab= \t\r\ncd", "abcd"},
                      {"soft at end", "tail=", "tail"},
                      {"trailing blanks crlf", "a  \t\r\nb", "a\r\nb"},
                      {"trailing blanks lf", "a \nb", "a\nb"},
                      {"trailing blanks at end", "a  ", "a"},
                      {"blank-only line", "  \r\n", "\r\n"},
                      {"encoded blank kept", "a=20\r\nb=09", "a \r\nb\t"},
                      {"blank before soft break kept", "a =\r\nb", "a b"},
                      {"malformed kept", "50% = half, =zz, =4", "50% = half, =zz, =4"},
                      {"malformed then trailing", "=X \r\n", "=X\r\n"},
                      {"lone cr kept", "a\rb", "a\rb"},
                      {"encoded crlf", "a=0D=0Ab", "a\r\nb"},
                      {"encoded cr not a line end", "a =0D\nb", "a \r\nb"},
                  });
}

TEST(QuotedPrintable, EncodeRules) {
  for (const Row& r : std::vector<Row>{
           {"equals", "a=b", "a=3Db"},
           {"high byte", "caf\xe9", "caf=E9"},
           {"controls", "a\rb\x01", "a=0Db=01"},
           {"tab inside", "a\tb", "a\tb"},
           {"trailing blanks", "end \r\nend\t\nend ", "end=20\r\nend=09\nend=20"},
           {"76 fits", std::string(76, 'x'), std::string(76, 'x')},
           {"77 breaks", std::string(77, 'x'), std::string(75, 'x') + "=\r\nxx"},
           {"triplet not split", std::string(74, 'x') + "\xff", std::string(74, 'x') + "=\r\n=FF"},
       }) {
    EXPECT_EQ(VisibleHex(MTX_QPEnc(r.in)), VisibleHex(r.want)) << r.label;
  }
}

TEST(QuotedPrintable, EncodeDecodeRoundTripsAndKeepsLinesShort) {
  std::mt19937 rng(45);
  for (int round = 0; round < 300; ++round) {
    std::string data(rng() % 300, '\0');
    for (char& c : data) c = "ab =\t\r\n\xe9~."[rng() % 11];
    std::string enc = MTX_QPEnc(data);
    std::size_t line = 0;
    for (char c : enc) {
      line = c == '\n' ? 0 : line + (c != '\r');
      ASSERT_LE(line, 76u) << VisibleHex(enc);
    }
    EXPECT_EQ(VisibleHex(Decode(kQp, enc)), VisibleHex(data)) << VisibleHex(enc);
  }
}

const std::string kFoxUu =
    "M5&AE('%U:6-K(&)R;W=N(&9O>\"!J=6UP<R!O=F5R('1H92!L87IY(&1O9RX@\n"
    "4,#$R,S0U-C<X.2!A;F0@;6]R92$`\n"
    "`\n"
    "end\n";
const std::string kFox = "The quick brown fox jumps over the lazy dog. 0123456789 and more!";

TEST(Uuencode, Lines) {
  ExpectRows(kUu, {
                      {"cat", "#0V%T\n", "Cat"},
                      {"cat without newline", "#0V%T", "Cat"},
                      {"file", kFoxUu, kFox},
                      {"stops at end line", "#0V%T\nend\n#0V%T\n", "Cat"},
                      {"stops at zero line", "#0V%T\n \n#0V%T\n", "Cat"},
                      {"missing characters count as zero", "#0V", std::string("C`\0", 3)},
                  });
}

TEST(Uuencode, BeginLineGivesName) {
  struct NameRow {
    const char* label;
    std::string in;
    std::size_t name_size;
    std::string want_name;
    std::string want;
  };
  for (const NameRow& r : std::vector<NameRow>{
           {"begin", "begin 644 fox.txt\n" + kFoxUu, 64, "fox.txt", kFox},
           {"text before, crlf", "Hello\r\nbegin 600 my file.txt\r\n#0V%T\r\n`\r\nend\r\n", 64,
            "my file.txt", "Cat"},
           {"name cut", "begin 644 abcdefgh\n#0V%T\nend\n", 4, "abc", "Cat"},
           {"no begin line", "#0V%T\n", 64, "", "Cat"},
           // Not a begin line: taken as a data line of length "b" (2 bytes).
           {"begin without mode", "begin here\n", 64, "", "\x14r"},
       }) {
    std::string s = r.in;
    char name[64] = "junk";
    s.resize(MTX_UUDec2(s.data(), s.size(), name, r.name_size));
    EXPECT_EQ(name, r.want_name) << r.label;
    EXPECT_EQ(VisibleHex(s), VisibleHex(r.want)) << r.label;
  }
}

// Extra white space that transports add changes nothing: line breaks and
// blanks for base64, trailing blanks for quoted-printable, CRLF line ends,
// trailing blanks and empty lines for uuencode.
TEST(Codecs, ExtraWhiteSpaceChangesNothing) {
  struct Case {
    const char* label;
    const Decoder* decode;
    std::string plain;
    std::string spaced;
  };
  for (const Case& c : std::vector<Case>{
           {"base64", &kBase64, "Zm9vYmFyZm9vYmFy", " Zm9v\r\n\tYmFy  Zm\r\n9vYm\nFy \r\n"},
           {"qp", &kQp, "a=3Db =\r\nc\r\nd\r\n", "a=3Db =  \r\nc \t\r\nd  \r\n  "},
           {"uu", &kUu, kFoxUu,
            "\r\nM5&AE('%U:6-K(&)R;W=N(&9O>\"!J=6UP<R!O=F5R('1H92!L87IY(&1O9RX@  \r\n\r\n"
            "4,#$R,S0U-C<X.2!A;F0@;6]R92$`\t\r\n`\r\nend \r\n"},
       }) {
    EXPECT_EQ(VisibleHex(Decode(*c.decode, c.spaced)), VisibleHex(Decode(*c.decode, c.plain))) << c.label;
  }
}

// Every prefix of every sample, copied into a buffer of exactly its size, so
// that a read or write past the end is caught; the result never grows.
TEST(Codecs, EveryPrefixStaysInItsBuffer) {
  const std::vector<std::pair<const Decoder*, std::string>> samples = {
      {&kBase64, Base64Encode(kFox, 20) + "\r\n junk=="},
      {&kQp, "caf=E9 =\r\nline  \r\n=3D=zz=\n= \t\r\n=4"},
      {&kUu, kFoxUu},
      {&kUu2, "text\nbegin 644 fox.txt\r\n" + kFoxUu},
  };
  for (const auto& [decode, sample] : samples) {
    for (std::size_t k = 0; k <= sample.size(); ++k) {
      auto buf = std::make_unique<char[]>(k);
      std::memcpy(buf.get(), sample.data(), k);
      EXPECT_LE((*decode)(buf.get(), k), k) << VisibleHex(sample.substr(0, k));
    }
  }
}

}  // namespace
