// The TNEF stream reader: files, names and code page, zero-length and
// damaged attributes, hostile lengths and counts, cuts at every offset.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/mime/tnef/tnef_reader.h"
#include "mime/tnef_test_stream.h"
#include "support/test_root.h"

namespace {

using testing_support::Visible;
using tnef_test::Le32;
using tnef_test::Props;
using tnef_test::Stream;
using tnef_test::Utf16;

std::string Data(const TnefAttachment& f) {
  return std::string(reinterpret_cast<const char*>(f.data.data()), f.data.size());
}

// The files' bytes, joined by "|".
std::string AllData(const TnefStream& s) {
  std::string out;
  for (const TnefAttachment& f : s.files) out += (out.empty() ? "" : "|") + Data(f);
  return out;
}

TEST(TnefReader, ReadsFilesTitlesPropertiesAndCodePage) {
  Stream s;
  s.Attr(0x00089006, Le32(0x00010000), 1)
      .File()
      .Title("a.txt")
      .Data("alpha")
      .Properties(Props().Long(0x3705, 1).String8(0x3707, "long a.txt").Unicode(0x3001, Utf16("A")))
      .File()
      .Data("beta")
      .CodePage(950);  // a message attribute after the files still counts
  TnefStream out;
  ASSERT_EQ(TNEF_Read(s.span(), out), 0);
  EXPECT_EQ(out.status, 0);
  ASSERT_EQ(out.files.size(), 2u);
  const TnefAttachment& a = out.files[0];
  EXPECT_EQ(Data(a), "alpha");
  EXPECT_TRUE(a.has_title);
  EXPECT_EQ(a.title, "a.txt");
  ASSERT_EQ(a.properties.size(), 2u);
  EXPECT_EQ(a.properties[0].id, kTnefPropAttachLongFilename);
  EXPECT_EQ(a.properties[0].value, "long a.txt");
  EXPECT_EQ(a.properties[1].type, kTnefTypeUnicode);
  EXPECT_EQ(a.properties[1].value, "A");
  EXPECT_EQ(a.code_page, 950u);
  EXPECT_EQ(Data(out.files[1]), "beta");
  EXPECT_FALSE(out.files[1].has_title);
  EXPECT_EQ(out.files[1].code_page, 950u);
}

// Zero-length attributes are legal: a file without bytes adds nothing, and
// the files around it are read.
TEST(TnefReader, ZeroLengthAttributesLoseNoFile) {
  Stream s;
  s.Attr(0x00089006, "", 1)
      .File()
      .Data("first")
      .File()
      .Data("")  // a file of 0 bytes
      .Title("")
      .Attr(tnef_test::kAttachment, "")
      .File()  // a file with no data at all
      .Title("nothing")
      .File()
      .Attr(tnef_test::kAttachment, Props().Count(0).Build())
      .Data("last")
      .Attr(0x00068011, "");  // attAttachRendering, empty
  TnefStream out;
  ASSERT_EQ(TNEF_Read(s.span(), out), 0);
  EXPECT_EQ(AllData(out), "first|last");
  EXPECT_EQ(out.status, 0);
}

TEST(TnefReader, PropertyValuesAndTheirStreamOrder) {
  struct Case {
    const char* name;
    Props props;
    std::vector<std::pair<std::uint16_t, std::string>> want;
  };
  const Case cases[] = {
      {"OtherPropertiesAreReadPast",
       Props().Long(0x3714, 4).Binary(0x3702, "xyz").Named("k", "v").String8(0x3704, "F.TXT"),
       {{0x3704, "F.TXT"}}},
      {"LastValueOfAnIdWins",
       Props().String8(0x3704, "one").String8(0x3001, "d").String8(0x3704, "two"),
       {{0x3704, "two"}, {0x3001, "d"}}},
      {"FirstExtensionWins", Props().String8(0x3703, ".a").String8(0x3703, ".b"), {{0x3703, ".a"}}},
      {"String8StopsAtNul", Props().String8(0x3707, std::string("ab\0cd", 5)), {{0x3707, "ab"}}},
      {"UnicodeAsciiIsWhole",
       Props().Unicode(0x3707, Utf16("report.pdf")),
       {{0x3707, "report.pdf"}}},
      {"NonStringNamesIgnored", Props().Binary(0x3707, "bin").Long(0x3704, 7), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stream s;
    s.File().Data("d").Properties(c.props);
    TnefStream out;
    ASSERT_EQ(TNEF_Read(s.span(), out), 0);
    EXPECT_EQ(out.status, 0);
    ASSERT_EQ(out.files.size(), 1u);
    std::vector<std::pair<std::uint16_t, std::string>> got;
    for (const TnefProperty& p : out.files[0].properties) got.emplace_back(p.id, p.value);
    EXPECT_EQ(got, c.want);
  }
}

TEST(TnefReader, Utf16Conversion) {
  struct Case {
    const char* name;
    std::string utf16;
    std::string utf8;
  };
  const Case cases[] = {
      {"Ascii", Utf16("a.txt"), "a.txt"},
      {"TwoByte", std::string("\xe9\x00", 2), "\xc3\xa9"},
      {"ThreeByte", "\x2c\x67", "\xe6\x9c\xac"},  // U+672C
      {"SurrogatePair", std::string("\x3d\xd8\x00\xde", 4), "\xf0\x9f\x98\x80"},
      {"LoneHighSurrogate", std::string("\x3d\xd8x\x00", 4), "\xef\xbf\xbdx"},
      {"LoneLowSurrogate", std::string("\x00\xde", 2), "\xef\xbf\xbd"},
      {"StopsAtNul", std::string("a\0\0\0b\0", 6), "a"},
      {"OddByteIgnored", std::string("a\0b", 3), "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* p = reinterpret_cast<const unsigned char*>(c.utf16.data());
    EXPECT_EQ(Visible(TNEF_Utf16ToUtf8({p, c.utf16.size()})), Visible(c.utf8));
  }
}

// A file without attAttachData takes its bytes from PR_ATTACH_DATA_OBJ.
TEST(TnefReader, DataObjectWhenThereIsNoDataAttribute) {
  Stream s;
  s.File()
      .Properties(Props().Binary(kTnefPropAttachDataObj, "%PDF-1.4"))
      .File()
      .Properties(Props().Object(kTnefPropAttachDataObj, "storage"))
      .File()
      .Data("attribute wins")
      .Properties(Props().Binary(kTnefPropAttachDataObj, "object"));
  TnefStream out;
  ASSERT_EQ(TNEF_Read(s.span(), out), 0);
  EXPECT_EQ(AllData(out), "%PDF-1.4|storage|attribute wins");
}

// Damaged streams: what was read before the damage is kept, nothing is read
// from outside the stream, and nothing is allocated by a declared length.
TEST(TnefReader, DamagedStreams) {
  struct Case {
    const char* name;
    std::string bytes;
    int rc;
    int status;
    std::string data;  // AllData
    bool last_cut = false;
  };
  Stream good;
  good.File().Title("g").Data("good");
  const std::string g = good.bytes();
  const std::string huge = Le32(0xffffffff);
  const Case cases[] = {
      {"Empty", "", -1, 0, ""},
      {"ShortHead", g.substr(0, 5), -1, 0, ""},
      {"BadSignature", "\x79" + g.substr(1), -1, 0, ""},
      {"HeadOnly", g.substr(0, 6), 0, 0, ""},
      {"TrailingBytes", g + "\x02\x0f\x80", 0, kTnefCut, "good"},
      {"ChecksumMissing", g.substr(0, g.size() - 2), 0, kTnefCut, "good"},
      {"BadChecksum", Stream().File().Attr(tnef_test::kData, "bad", 2, false).bytes(), 0,
       kTnefBadChecksum, "bad"},
      {"DataLengthMax", Stream(good).File().CutAttr(tnef_test::kData, 0xffffffff, "piece").bytes(),
       0, kTnefCut, "good|piece", true},
      {"DataOneByteShort", Stream().File().CutAttr(tnef_test::kData, 6, "12345").bytes(), 0,
       kTnefCut, "12345", true},
      {"TitleLengthMax", Stream(good).File().CutAttr(tnef_test::kTitle, 0xffffffff, "t").bytes(), 0,
       kTnefCut, "good"},
      {"PropertiesLengthMax",
       Stream(good).CutAttr(tnef_test::kAttachment, 0xfffffff0, Props().Build()).bytes(), 0,
       kTnefCut, "good"},
      {"PropertyCountMax",
       Stream(good).Properties(Props().String8(0x3707, "x.txt").Count(0xffffffff)).bytes(), 0,
       kTnefBadProperties, "good"},
      {"ValueCountMax", Stream(good).Properties(Props().Raw("\x1e\x00\x07\x37" + huge)).bytes(), 0,
       kTnefBadProperties, "good"},
      {"ValueLengthMax",
       Stream(good).Properties(Props().Raw("\x1e\x00\x07\x37" + Le32(1) + huge + "abc")).bytes(), 0,
       kTnefBadProperties, "good"},
      {"MultiValuedCountMax",
       Stream(good).Properties(Props().Raw("\x03\x10\x00\x40" + huge + Le32(1))).bytes(), 0,
       kTnefBadProperties, "good"},
      {"NamedNameLengthMax",
       Stream(good)
           .Properties(Props().Raw("\x1e\x00\x01\x80" + std::string(16, 'G') + Le32(1) + huge))
           .bytes(),
       0, kTnefBadProperties, "good"},
      {"UnknownPropertyType",
       Stream(good).Properties(Props().Raw("\x99\x00\x01\x30" + Le32(0))).bytes(), 0,
       kTnefBadProperties, "good"},
      {"FileAttributesBeforeAnyFile",
       Stream().Data("stray").Title("t").Properties(Props()).File().Data("real").bytes(), 0,
       kTnefStray, "real"},
      {"RenddataCutShort", Stream(good).CutAttr(tnef_test::kRenddata, 14, "").bytes(), 0, kTnefCut,
       "good"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnefStream out;
    auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
    ASSERT_EQ(TNEF_Read({p, c.bytes.size()}, out), c.rc);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(Visible(AllData(out)), Visible(c.data));
    if (!out.files.empty()) EXPECT_EQ(out.files.back().cut, c.last_cut);
  }
}

// A stream cut at every offset: the files read are the stream's first files,
// each whole or a leading piece of its bytes, always inside the stream.
TEST(TnefReader, CutAtEveryOffset) {
  const std::string a = "the first file's bytes";
  const std::string b(300, 'b');
  Stream s;
  s.CodePage(1252)
      .File()
      .Title("a.txt")
      .Data(a)
      .Properties(Props().Unicode(0x3707, Utf16("long a.txt")).String8(0x3001, "A"))
      .File()
      .Properties(Props().Binary(kTnefPropAttachDataObj, b));
  const std::string& whole = s.bytes();
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string cut = whole.substr(0, n);
    TnefStream out;
    auto* p = reinterpret_cast<const unsigned char*>(cut.data());
    if (TNEF_Read({p, cut.size()}, out) != 0) {
      EXPECT_LT(n, 6u);
      continue;
    }
    ASSERT_LE(out.files.size(), 2u);
    for (std::size_t i = 0; i < out.files.size(); ++i) {
      const TnefAttachment& f = out.files[i];
      const std::string& full = i == 0 ? a : b;
      EXPECT_GE(f.data.data(), p);
      EXPECT_LE(f.data.data() + f.data.size(), p + cut.size());
      EXPECT_EQ(Data(f), full.substr(0, f.data.size()));
      if (!f.cut) EXPECT_EQ(f.data.size(), full.size());
    }
  }
}

TEST(TnefReader, ManyTinyFilesInOrderAndTheFileLimit) {
  Stream s;
  std::string want;
  for (int i = 0; i < 20000; ++i) {
    std::string byte(1, static_cast<char>('a' + i % 26));
    s.File().Data(byte);
    want += byte;
  }
  TnefStream all;
  ASSERT_EQ(TNEF_Read(s.span(), all), 0);
  ASSERT_EQ(all.files.size(), 20000u);
  std::string got;
  for (const TnefAttachment& f : all.files) got += Data(f);
  EXPECT_EQ(got, want);
  EXPECT_EQ(all.status, 0);

  TnefStream limited;
  ASSERT_EQ(TNEF_Read(s.span(), limited, 100), 0);
  EXPECT_EQ(limited.files.size(), 100u);
  EXPECT_EQ(limited.status, kTnefFileLimit);
  // Exactly as many files as the limit: nothing was left out.
  Stream two;
  two.File().Data("1").File().Data("2");
  TnefStream exact;
  ASSERT_EQ(TNEF_Read(two.span(), exact, 2), 0);
  EXPECT_EQ(exact.status, 0);
}

}  // namespace
