#include "common/mime/types/content_type.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::Visible;

namespace {

const std::string kLongType = "application/x-" + std::string(18, 't');  // 32 characters
const std::string kMaxType = "application/x-" + std::string(17, 'm');   // 31 characters
const std::string kLongExt = std::string(64, 'e');
const std::string kMaxExt = std::string(63, 'f');

std::string TypeList() {
  std::string line255 = "text/x-edge\tedge255 ";
  line255 += std::string(255 - line255.size(), 'p');
  std::string line256 = "text/x-over\tover256 ";
  line256 += std::string(256 - line256.size(), 'q');
  return "# comment jpg\n"
         "\n"
         "text/plain\n"  // no extension: adds nothing, and CT_TypeToExt passes it by
         "image/jpeg jpeg jpg jpe\n"
         "text/plain\ttxt  README\r\n"
         "application/x-first dup\n"
         "application/x-second dup other\n" +
         kLongType + " longtype\n" + kMaxType + " maxtype\n" + "text/x-ext " + kLongExt + " " +
         kMaxExt + " okext\n" + line255 + "\n" + line256 + "\n" +
         "  text/x-indented ind\n"
         "application/x-7z-compressed 7z\n";
}

// Answers of the magic rules, one per kind of test they make.
constexpr char kRules[] =
    "0 string \\x89PNG image/png\n"
    "0 string GIF8 image/gif\tGIF picture\n"
    "0 search/64/b BEGIN:VCALENDAR text/calendar\n"
    "8191 string LATE application/x-too-late\n";

std::string Png() {
  return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
}

void Age(const std::string& path, int seconds_back) {
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds_back;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class ContentTypeTest : public ::testing::Test {
 protected:
  void SetUp() override { root.Write("httpd/conf/mime.types", TypeList()); }
  std::string Guess(const std::string& data, const char* name) {
    return CT_Guess(data.data(), data.size(), name);
  }
  TestRoot root;
};

TEST_F(ContentTypeTest, NameLookup) {
  const std::pair<const char*, const char*> cases[] = {
      {"photo.JPG", "image/jpeg"},
      {"README", "text/plain"},
      {"notes.readme", "text/plain"},
      {"a.dup", "application/x-first"},
      {"a.other", "application/x-second"},
      {"x.longtype", nullptr},
      {"x.maxtype", kMaxType.c_str()},
      {"x.okext", "text/x-ext"},
      {"x.edge255", "text/x-edge"},
      {"x.over256", nullptr},
      {"x.ind", "text/x-indented"},
      {"a.7Z", "application/x-7z-compressed"},
      {"photo.jpg.exe", nullptr},
      {"archive.", nullptr},
      {"", nullptr},
      {"comment", nullptr},
  };
  for (const auto& [name, type] : cases) {
    const char* got = CT_FromName(name);
    EXPECT_STREQ(got, type) << name;
  }
  EXPECT_EQ(CT_FromName(("x." + kLongExt).c_str()), nullptr);
  EXPECT_STREQ(CT_FromName(("x." + kMaxExt).c_str()), "text/x-ext");
  EXPECT_EQ(CT_FromName(nullptr), nullptr);
}

TEST_F(ContentTypeTest, ListedNameWinsWithoutExaminingData) {
  // No magic file: examining the data would complain on standard error.
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "photo.JPG"), "image/jpeg");
  EXPECT_EQ(Guess(std::string(1, '\0'), "README"), "text/plain");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ContentTypeList, MissingListIsRetried) {
  TestRoot root;
  EXPECT_EQ(CT_LoadTypes(), -1);
  EXPECT_EQ(CT_FromName("a.jpg"), nullptr);
  root.Write("httpd/conf/mime.types", "image/png png\nimage/jpeg\tjpg jpe");  // no last newline
  EXPECT_STREQ(CT_FromName("a.jpg"), "image/jpeg");
  EXPECT_STREQ(CT_FromName("a.jpe"), "image/jpeg");
  EXPECT_STREQ(CT_FromName("a.png"), "image/png");
}

TEST(ContentTypeText, Rules) {
  const std::string line300(300, 'a');
  const std::pair<std::string, int> cases[] = {
      {"", 1},
      {std::string(1, '\0'), 1},
      {std::string("abc\0", 4), 1},  // the last byte is not examined
      {std::string("ab\0c", 4), 0},
      {"\x1b[1mbold\r\n\f\t\b\v\xff\x80", 1},
      {line300 + "\n" + line300 + "\n", 1},
      {line300 + "a\n", 0},
      {line300 + "a", 1},  // 300 examined bytes
      {"x\n" + line300 + "ab", 0},
  };
  for (const auto& [data, text] : cases) {
    EXPECT_EQ(CT_IsText(data.data(), data.size()), text) << Visible(data);
  }
  for (int b = 0; b < 256; ++b) {
    bool text = (b >= 8 && b <= 13) || b == 27 || (b >= 32 && b != 127);
    std::string data = "a" + std::string(1, static_cast<char>(b)) + "a";
    EXPECT_EQ(CT_IsText(data.data(), data.size()), text ? 1 : 0) << "byte " << b;
  }
}

TEST_F(ContentTypeTest, MagicRulesThenTextTest) {
  root.Write("httpd/conf/magic", kRules);
  // 8191 bytes of short lines, then what the guess must not see.
  std::string window;
  while (window.size() + 100 <= 8191) window += std::string(99, 'x') + "\n";
  window.resize(8191, 'y');
  std::string late = window + "LATE";
  std::string nul_outside = window + std::string(1, '\0');
  const std::pair<std::string, const char*> cases[] = {
      {Png(), "image/png"},
      {"GIF89a....", "image/gif"},  // the description's TAB ends the type
      {"\r\n\r\nBEGIN:VCALENDAR\r\n", "text/calendar"},
      {std::string(301, 'a') + "\n", "application/octet-stream"},
      {"GIF8" + std::string(400, 'a'), "image/gif"},
      {"hello\nworld\n", "text/plain"},
      {std::string("\x01\x02\x03\x04", 4), "application/octet-stream"},
      {"A", "text/plain"},  // too short for the rules
      {"", "text/plain"},
      {late, "text/plain"},  // bytes past 8191 are not examined
      {nul_outside, "text/plain"},
      {window.substr(0, 8189) + std::string(1, '\0') + "zz", "application/octet-stream"},
  };
  for (const auto& [data, type] : cases) {
    EXPECT_EQ(Guess(data, "data.xyz"), type) << Visible(data.substr(0, 40));
  }
  EXPECT_STREQ(CT_FromData("GIF89a", 6), "image/gif\tGIF picture");
}

TEST_F(ContentTypeTest, MissingMagicFileFallsBackToTextOnce) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "data.xyz"), "application/octet-stream");
  root.Write("httpd/conf/magic", kRules);  // too late: never retried
  EXPECT_EQ(Guess("plain words\n", "data.xyz"), "text/plain");
  EXPECT_EQ(Guess(Png(), "data.xyz"), "application/octet-stream");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "couldn't find any magic files\n");
}

TEST_F(ContentTypeTest, UnreadableMagicFileIsNamed) {
  ASSERT_EQ(mkdir(root.Path("httpd/conf/magic").c_str(), 0700), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "data.xyz"), "application/octet-stream");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't read magic file " +
                                                        root.Path("httpd/conf/magic") +
                                                        "\ncouldn't find any magic files\n");
}

TEST_F(ContentTypeTest, BrokenRulesFallBackToTextTest) {
  root.Write("httpd/conf/magic", "0 strin \\x89PNG image/png\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "data.xyz"), "application/octet-stream");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not loaded"), std::string::npos);
}

// Compiled rules say "image/x-compiled" for PNG bytes, the text "image/x-text".
class CompiledRulesTest : public ContentTypeTest {
 protected:
  void SetUp() override {
    ContentTypeTest::SetUp();
    root.Write("httpd/conf/magic", "0 string \\x89PNG image/x-compiled\n");
    ASSERT_EQ(chmod(text.c_str(), 0640), 0);
    ASSERT_EQ(CT_CompileMagic(), 0);
    root.Write("httpd/conf/magic", "0 string \\x89PNG image/x-text\n");
  }
  std::string text = root.Path("httpd/conf/magic");
  std::string compiled = text + ".mgc";
};

TEST_F(CompiledRulesTest, FreshCompiledRulesAreUsed) {
  struct stat st;
  ASSERT_EQ(stat(compiled.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  Age(text, 3600);
  EXPECT_EQ(Guess(Png(), "data.xyz"), "image/x-compiled");
}

TEST_F(CompiledRulesTest, StaleCompiledRulesAreNotUsed) {
  Age(compiled, 3600);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "data.xyz"), "image/x-text");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("older"), std::string::npos);
}

TEST_F(CompiledRulesTest, DamagedCompiledRulesAreNotUsed) {
  root.Write("httpd/conf/magic.mgc", std::string(4096, '\x07'));
  Age(text, 3600);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Guess(Png(), "data.xyz"), "image/x-text");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not used"), std::string::npos);
}

TEST_F(ContentTypeTest, CompileFailureKeepsPreviousFile) {
  root.Write("httpd/conf/magic.mgc", "previous");
  root.Write("httpd/conf/magic", "0 strin \\x89PNG image/png\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(CT_CompileMagic(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not compiled"), std::string::npos);
  EXPECT_EQ(root.Read("httpd/conf/magic.mgc"), "previous");
  std::string listing;
  for (const auto& entry : std::filesystem::directory_iterator(root.Path("httpd/conf"))) {
    listing += entry.path().filename().string() + " ";
  }
  EXPECT_EQ(listing.find(".magic-compile"), std::string::npos) << listing;
}

TEST_F(ContentTypeTest, TypeToExt) {
  const std::string long_ext(40, 'x');
  struct Case {
    const char* type;
    std::string name;
    const char* ext;
  };
  const Case cases[] = {
      {"text/plain; charset=utf-8", "", "txt"},
      {"TEXT/PLAIN", "", "txt"},
      {"image/png", "photo.JPG", "JPG"},
      {nullptr, "a.b.tar", "tar"},
      {nullptr, "README", ""},
      {"text/plain", "README", "txt"},
      {"image/jpeg", "x.", "jpeg"},
      {nullptr, "a." + long_ext, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {kLongType.c_str(), "", "longtype"},
      {"application/x-unknown", "", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CT_TypeToExt(c.type, c.name.empty() ? nullptr : c.name.c_str()), c.ext)
        << (c.type ? c.type : "(null)") << " " << c.name;
  }
}

}  // namespace
