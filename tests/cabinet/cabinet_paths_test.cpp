// The cabinet's paths, names, configuration, type table and texts.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/cabinet/entries/dc_types.h"
#include "common/cabinet/paths/dc_config.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/text/dc_text.h"
#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

TEST(CabinetPaths, Normalise) {
  struct Case {
    const char* dir;
    const char* name;
    const char* want;  // nullptr: fails
  } cases[] = {
      {"a/./b//c/../d", "", "/a/b/d"},
      {"../x", "", nullptr},
      {"", "", "/"},
      {"/", "", "/"},
      {"a", "b/c.txt", "/a/b"},
      {"a", "..", "/"},
      {"/", "..", nullptr},
      {"a", "../../x", nullptr},
      {"a/b", "../c/d.txt", "/a/c"},
      {"///a///", "", "/a"},
      {"a", "x/", "/a/x"},
      {"a", "/abs/f", "/a/abs"},
  };
  for (const Case& c : cases) {
    auto got = DC_PathNormalize(c.dir, c.name);
    if (c.want) {
      ASSERT_TRUE(got) << c.dir << " + " << c.name;
      EXPECT_EQ(*got, c.want) << c.dir << " + " << c.name;
    } else {
      EXPECT_FALSE(got) << c.dir << " + " << c.name << " gave " << *got;
    }
  }
}

TEST(CabinetPaths, NormaliseLimits) {
  std::string deep;
  for (int i = 0; i < 32; ++i) deep += "d/";
  ASSERT_TRUE(DC_PathNormalize(deep));
  EXPECT_FALSE(DC_PathNormalize(deep + "e"));     // the 33rd level
  EXPECT_FALSE(DC_PathNormalize(deep + "e/.."));  // refused on the way, not undone
  std::string long_component(300, 'x');
  EXPECT_EQ(DC_PathNormalize(long_component)->size(), 256u);  // "/" and 255 bytes
  std::string wide;
  for (int i = 0; i < 6; ++i) wide += std::string(200, 'a' + i) + "/";
  std::string got = *DC_PathNormalize(wide);
  EXPECT_LE(got.size(), 1023u);
  EXPECT_EQ(got.size(), 1 + 5 * 201 - 1);  // the sixth component no longer fits
}

TEST(CabinetPaths, FileNameSplitAndReserved) {
  EXPECT_EQ(*DC_FileName("dir/report.txt"), "report.txt");
  EXPECT_FALSE(DC_FileName("dir/"));
  EXPECT_FALSE(DC_FileName(".."));
  std::string long_name = std::string(296, 'n') + ".txt";
  std::string cut = *DC_FileName(long_name);
  EXPECT_EQ(cut.size(), 251u);
  EXPECT_TRUE(cut.ends_with(".txt"));
  std::string fits = std::string(250, 'n') + ".txt";
  EXPECT_EQ(*DC_FileName(fits), fits);  // a name of 254 bytes is kept whole
  // A two-byte character at the cut is kept whole.
  std::string wide = std::string(246, 'a') + "\xe3\x81\x82" + std::string(20, 'b') + ".pdf";
  std::string kept = *DC_FileName(wide);
  EXPECT_EQ(kept.substr(246, 2), "\xe3\x81");
  EXPECT_TRUE(kept.ends_with(".pdf"));

  struct Split {
    const char* path;
    const char* dir;
    const char* name;
  } splits[] = {{"", ".", ""},        {"a", ".", "a"},    {"/a", "/", "a"},
                {"/a/b/", "/a", "b"}, {"a//b", "a", "b"}, {"/a/b/c", "/a/b", "c"}};
  for (const Split& s : splits) {
    DC_Split got = DC_SplitPath(s.path);
    EXPECT_EQ(got.dir, s.dir) << s.path;
    EXPECT_EQ(got.name, s.name) << s.path;
  }

  EXPECT_EQ(DC_ReservedName(".acl.ext"), 3);
  EXPECT_EQ(DC_ReservedName(".ACL"), 0);
  EXPECT_EQ(DC_ReservedName(".."), 1);
  EXPECT_EQ(DC_ReservedName(".link"), 6);
  EXPECT_EQ(DC_CheckName("alice", "/a", ".finfo"), -1);
  EXPECT_EQ(DC_CheckName("alice", "../a", "x"), -1);
  EXPECT_EQ(DC_CheckName("alice", "/a", "x"), 0);
}

TEST(CabinetPaths, BasesNeverLeaveTheCabinets) {
  TestRoot root;
  const std::string r = root.path();
  struct Case {
    const char* base;
    const char* dir;
    std::string want;
  } cases[] = {
      {"@", "x/y", r + "/public/dc/x/y"},
      {"@", "../..", r + "/public/dc/"},
      {"@example.com", "/a", r + "/domains/example.com/public/dc/a"},
      {"alice", "/", r + "/home/alice/dc/"},
      {"*bob", "docs", r + "/home/bob/dc/docs"},
      {"/etc", "/", ""},
      {"@..", "/", ""},
      {"@a/b", "/", ""},
      {"*../x", "/", ""},
      {"..", "/", ""},
      {"a/b", "/", ""},
      {"", "/", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DC_Dir(c.base, c.dir), c.want) << c.base << " " << c.dir;
  EXPECT_EQ(DC_QuotaPath("@"), r + "/public/dc/.quota");
  EXPECT_EQ(DC_QuotaPath("*bob"), r + "/home/bob/dc/.quota");
  EXPECT_EQ(DC_LimitPath("@d"), r + "/domains/d/public/dc.limit");
  EXPECT_EQ(DC_IsOwner("bob", "*bob"), 0);
  EXPECT_EQ(DC_IsOwner("", "bob"), -7);
  EXPECT_EQ(DC_SameBase("bob", "*bob"), 0);
}

TEST(CabinetText, SafeName) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a b:c?.txt", "a_b_c_.txt"},
      {"x&#1234;y", "x_y"},
      {"Tom&Jerry;", "Tom&Jerry_"},
      {"end&", "end&"},
      {"a&#x1F;b", "a_b"},
      {"a&#x;b", "a&#x_b"},
      {"a&#;", "a&#_"},
      {"<\"*\">", "_____"},
      {"a;b", "a_b"},
      {"&&#65;", "&_"},
      {"dir/f\\g", "dir/f\\g"},
      {"&#12", "&#12"},
  };
  for (const Case& c : cases) EXPECT_EQ(DC_SafeName(c.in), c.out) << c.in;
}

TEST(CabinetText, TimeAndSize) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(*DC_FormatTime(1173082150, kDcTimeMinutes), "2007/03/05 08:09");
  EXPECT_EQ(*DC_FormatTime(1173082150, kDcTimeSeconds), "2007/03/05 08:09:10");
  EXPECT_FALSE(DC_FormatTime(0, 3));
  struct Size {
    long long bytes;
    int mode;
    const char* text;
  } sizes[] = {{1023, 1, "1023"},      {1024, 1, "1.00 K"}, {1048575, 1, "1024.00 K"},
               {1048576, 1, "1.00 M"}, {0, 2, "0"},         {1234567, 2, "1,234,567"},
               {999, 2, "999"},        {1000, 2, "1,000"}};
  for (const Size& s : sizes) EXPECT_EQ(*DC_FormatSize(s.bytes, s.mode), s.text) << s.bytes;
  EXPECT_FALSE(DC_FormatSize(1, 3));
}

TEST(CabinetConfig, FileAndImage) {
  DC_Config c = DC_ConfigParse("UserDC = files\n");
  EXPECT_EQ(c.user_dc, "files");
  EXPECT_EQ(c.form, "");
  EXPECT_EQ(c.dir_cache, "");
  EXPECT_EQ(c.quota_file, "");
  c = DC_ConfigParse("Form:my pages\n\tDirCache=.c\nQuotaFile=x/.q\nUserDCdocs\nOther=1");
  EXPECT_EQ(c.form, "mypages");
  EXPECT_EQ(c.dir_cache, ".c");
  EXPECT_EQ(c.quota_file, "x/.q");
  EXPECT_EQ(c.user_dc, "ocs");  // the character after the key is skipped unseen
  EXPECT_EQ(DC_ConfigParse("UserDC=" + std::string(400, 'u')).user_dc.size(), 255u);

  DC_Config back;
  ASSERT_TRUE(DC_ConfigFromImage(DC_ConfigImage(c), back));
  EXPECT_EQ(back.quota_file, "x/.q");
  EXPECT_FALSE(DC_ConfigFromImage(std::string(1023, '\0'), back));  // cut short
  std::string no_nul(1024, 'z');
  ASSERT_TRUE(DC_ConfigFromImage(no_nul, back));
  EXPECT_EQ(back.user_dc.size(), 255u);

  TestRoot root;
  root.Write("etc/dc_7.conf", "UserDC=cab\n");
  EXPECT_EQ(DC_ConfigGet().user_dc, "dc");
  EXPECT_EQ(DC_ConfigLoad(8), -1);
  ASSERT_EQ(DC_ConfigLoad(7), 0);
  EXPECT_EQ(DC_ConfigGet().user_dc, "cab");
  EXPECT_EQ(DC_Dir("alice", "/"), root.path() + "/home/alice/cab/");
  EXPECT_FALSE(root.Exists("tmp/.dc_7"));  // published to the process, then gone
}

TEST(CabinetTypes, Table) {
  std::vector<DC_Type> types;
  EXPECT_EQ(DC_TypeParse("  text/, *.txt ,,*.md\tText\t1\n\n*\tFile\t9\n", types), 0);
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0].patterns, (std::vector<std::string>{"text/", "*.txt", "*.md"}));
  EXPECT_EQ(types[1].number, 9);
  EXPECT_EQ(DC_TypeParse("*.txt\tText\n", types), -3);
  EXPECT_EQ(DC_TypeParse("*.txt\n", types), -3);
  EXPECT_EQ(DC_TypeParse(" \n\t\n", types), -1);
  std::string many;
  for (int i = 0; i < 40; ++i) many += "*.x" + std::to_string(i) + "\tT\t1\n";
  EXPECT_EQ(DC_TypeParse(many, types), 0);
  EXPECT_EQ(types.size(), 28u);

  TestRoot root;
  root.Write("httpd/conf/mime.types", "text/plain txt\nimage/png png\n");
  root.Write("etc/dc_type.conf", "image/\tPicture\t2\n*.txt\tText\t1\n");
  EXPECT_EQ(DC_TypeOf("a.png"), -1);  // not loaded yet
  ASSERT_EQ(DC_TypeLoad(DC_TypeConfPath()), 0);
  EXPECT_EQ(DC_TypeLoad(DC_TypeConfPath()), -2);
  EXPECT_EQ(DC_TypeOf("a.png"), 2);
  EXPECT_EQ(DC_TypeOf("notes.txt"), 3);
  EXPECT_EQ(DC_TypeOf("data.bin"), -1);
  DC_TypeRelease();
}

}  // namespace
