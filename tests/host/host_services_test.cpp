// Site settings, login and session, names, charsets, streams, files and logs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string_view>

#include <gtest/gtest.h>

#include "host/account/account.h"
#include "host/account/session.h"
#include "host/base/memstream.h"
#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/files/files.h"
#include "host/files/log.h"
#include "host/files/root.h"
#include "host/site/domain.h"
#include "host/site/site.h"
#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

TEST(SiteSettings, DefaultsKeysLevelsAndBadValues) {
  TestRoot root;
  EXPECT_EQ(GINI().attach_count_limit, 20);
  EXPECT_EQ(level_priv_attachsize(3), 10240);
  root.Write("etc/site.conf",
             "# comment = 5\n"
             "AttachCountLimit = 3\n"
             "DefaultDomain = example.org\r\n"
             "Level2.Privileges = 129\n"
             "Level2.AttachSizeKB = 64\n"
             "Level16.Flags = 2\n"
             "Level1.Flags = two\n"
             "Unknown = 1\n"
             "MultiDomain=1\n");
  host::ReloadEnv();
  EXPECT_EQ(GINI().attach_count_limit, 3);
  EXPECT_EQ(GINI().default_domain, "example.org");
  EXPECT_TRUE(level_priv_check(2, kPrivVirusScan));
  EXPECT_FALSE(level_priv_check(0, kPrivVirusScan));
  EXPECT_EQ(level_priv_attachsize(2), 64);
  EXPECT_EQ(GINI_Level(1).flags, 0);
  EXPECT_EQ(GINI_Level(99).attach_size_kb, 10240);  // out of range reads level 0
  EXPECT_EQ(isMultiDomain(), 1);
  EXPECT_EQ(MUSER_IDNormalize("bob", ""), "bob@example.org");
  EXPECT_EQ(MUSER_IDNormalize("bob@b.org", ""), "bob@b.org");
  EXPECT_EQ(GetPublicPath("", "docs"), root.path() + "/domains/example.org/public/docs");
}

TEST(SiteSettings, ScanUnavailableRefusesOnlyWhenSaidSo) {
  TestRoot root;
  EXPECT_FALSE(GINI().scan_unavailable_refuse);  // no file
  struct Case {
    const char* line;
    bool refuse;
  } cases[] = {
      {"", false},  // no key: admit
      {"ScanUnavailable = refuse\n", true},
      {"ScanUnavailable = Refuse  \r\n", true},  // any case, blanks dropped
      {"ScanUnavailable = admit\n", false},
      {"ScanUnavailable = refused\n", false},  // anything else admits
      {"ScanUnavailable = refuse\nScanUnavailable = admit\n", false},  // the last line wins
  };
  for (const Case& c : cases) {
    root.Write("etc/site.conf", std::string("AttachCountLimit = 4\n") + c.line);
    host::ReloadEnv();
    EXPECT_EQ(GINI().scan_unavailable_refuse, c.refuse) << c.line;
  }
}

class Login : public testing::Test {
 protected:
  int As(const char* user) {
    if (user) setenv("REMOTE_USER", user, 1);
    else unsetenv("REMOTE_USER");
    host::ReloadEnv();
    testing::internal::CaptureStdout();
    int r = user_login(0);
    out = testing::internal::GetCapturedStdout();
    return r;
  }
  void TearDown() override { unsetenv("REMOTE_USER"); }
  TestRoot root;
  std::string out;
};

TEST_F(Login, KnownUsersOnly) {
  root.AddUser("alice", 3);
  root.Write("home/alice/.prefs", "charset = Shift_JIS\nlanguage = ja\n");
  root.Write("httpd/template/ja/attach.dat", "x");
  ASSERT_EQ(As("alice"), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(session().user_id, "alice");
  EXPECT_EQ(session().address, "alice@localhost");
  EXPECT_EQ(session().level, 3);
  EXPECT_EQ(session().template_dir, root.path() + "/httpd/template/ja");
  EXPECT_EQ(UserCharset(), "Shift_JIS");

  for (const char* bad : {"", "mallory", ".alice", "al ice", "alice\n", "../alice"}) {
    EXPECT_EQ(As(bad), 0) << bad;
    EXPECT_EQ(out.rfind("Status: 403 Forbidden\r\n", 0), 0u) << bad;
    EXPECT_FALSE(session().logged_in);
  }
  EXPECT_EQ(As(nullptr), 0);
}

TEST_F(Login, PreferencesThatCouldBreakHeadersOrPathsAreIgnored) {
  root.AddUser("bob");
  root.Write("home/bob/.prefs", "charset = utf-8\r\nX: y\nlanguage = ../../etc\n");
  ASSERT_EQ(As("bob"), 1);
  EXPECT_EQ(UserCharset(), "utf-8");
  EXPECT_EQ(GetPreference().language, "en");
  root.Write("home/bob/.prefs", "language = de\n");  // no templates for it
  ASSERT_EQ(As("bob"), 1);
  EXPECT_EQ(session().template_dir, root.path() + "/httpd/template/en");
}

TEST_F(Login, MultiDomainIdsGetTheDefaultDomain) {
  root.Site("MultiDomain = 1");
  root.Site("DefaultDomain = d.org");
  root.AddUser("carol@d.org");
  ASSERT_EQ(As("carol"), 1);
  EXPECT_EQ(session().user_id, "carol@d.org");
  EXPECT_EQ(session().domain, "d.org");
  EXPECT_EQ(session().address, "carol@d.org");
}

TEST(Names, LastComponentKnowsTwoByteCharacters) {
  EXPECT_EQ(purename("C:\\dir\\a.txt"), "a.txt");
  EXPECT_EQ(purename("/x/y/"), "");
  EXPECT_EQ(purename("plain"), "plain");
  // "表" in Shift_JIS is 0x95 0x5C: its second byte is a backslash.
  std::string sjis = "dir\\\x95\x5c.txt";
  EXPECT_EQ(MLG_ExtractFilename(sjis, kCharsetShiftJis), "\x95\x5c.txt");
  EXPECT_EQ(MLG_ExtractFilename(sjis, kCharsetUtf8), ".txt");
  EXPECT_EQ(MLG_ExtractFilename("a/b\xa4\x5c", kCharsetBig5), "b\xa4\x5c");
}

TEST(Names, IsHalfTellsACutInsideATwoByteCharacter) {
  TestRoot root;
  Session s;
  Preference p;
  p.charset = "x-sjis";
  SetSessionForTest(s, p);
  const char text[] = "ab\x95\x5c";
  EXPECT_EQ(MLG_IsHalf(text, 3, 1), 1);
  EXPECT_EQ(MLG_IsHalf(text, 4, 1), 0);
  EXPECT_EQ(MLG_IsHalf(text, 2, 1), 0);
  p.charset = "utf-8";
  SetSessionForTest(s, p);
  EXPECT_EQ(MLG_IsHalf(text, 3, 1), 0);
}

TEST(Charsets, ValuesAliasesAndConversions) {
  struct { const char* name; int value; } cases[] = {
      {"UTF-8", 1}, {"big5", 2}, {"x-sjis", 3}, {"shift_jis", 3}, {"CP932", 3},
      {"ISO-2022-JP", 4}, {"euc-jp", 5}, {"iso-8859-1", 6}, {"latin2", 7},
      {"iso-8859-3", 8}, {"ISO-8859-4", 9}, {"klingon", 0}, {"", 0}};
  for (auto& c : cases) EXPECT_EQ(MLC_CharsetWEncToValue(c.name), c.value) << c.name;
  EXPECT_STREQ(MLC_CharsetToWEncName(1), "utf-8");
  EXPECT_STREQ(MLC_CharsetToWEncName(0), "");

  std::string out;
  ASSERT_EQ(MLC_Text2UEnc("caf\xe9", out, kCharsetIso8859_1, kCharsetUtf8), 0);
  EXPECT_EQ(out, "caf\xc3\xa9");
  ASSERT_EQ(MLC_Text2UEnc("\xe8\xa1\xa8", out, kCharsetUtf8, kCharsetShiftJis), 0);
  EXPECT_EQ(out, "\x95\x5c");
  ASSERT_EQ(MLC_Text2UEnc("\xe8\xa1\xa8", out, kCharsetUtf8, kCharsetIso2022Jp), 0);
  EXPECT_EQ(out, "\x1b$BI=\x1b(B");
  // What the target cannot hold becomes a character reference.
  ASSERT_EQ(MLC_Text2UEnc("a\xe8\xa1\xa8z", out, kCharsetUtf8, kCharsetIso8859_1), 0);
  EXPECT_EQ(out, "a&#34920;z");
  EXPECT_EQ(MLC_Text2UEnc("\x95", out, kCharsetShiftJis, kCharsetUtf8), -1);
  EXPECT_EQ(MLC_Text2UEnc("x", out, 0, kCharsetUtf8), -1);
}

TEST(Strings, CopiesAlwaysFitAndEnd) {
  char field[4];
  EXPECT_EQ(MSTR_Copy(field, sizeof field, "abcdef"), 3u);
  EXPECT_STREQ(field, "abc");
  EXPECT_EQ(MSTR_NCopy(field, sizeof field, "abcdef", 2), 2u);
  EXPECT_STREQ(field, "ab");
  EXPECT_EQ(MSTR_CaseCmp("ABC", "abc"), 0);
  EXPECT_LT(MSTR_Cmp(nullptr, "a"), 0);
  EXPECT_STREQ(MSTR_LocStr("Hello World", "WORLD"), "World");
  EXPECT_EQ(MSTR_fnmatch("*.txt", "a.txt", 0), 0);
  EXPECT_TRUE(StartsWithNoCase("Text/Plain; x", "text/plain"));
}

TEST(MemoryStreams, WriterGrowsAndReaderSplitsLines) {
  MEM_WFP w;
  MEM_WFPOpen(w);
  std::string big(3000, 'x');
  MEM_WFPPrintf(w, "%s|%d", big.c_str(), 7);
  MEM_WFPWrite(w, "\0z", 2, 1);
  EXPECT_EQ(w.data, big + "|7" + std::string("\0z", 2));
  MEM_FP r;
  const char text[] = "one\ntwo-long\nend";
  MEM_FPInit(r, text, sizeof text - 1);
  char line[5];
  std::vector<std::string> got;
  while (MEM_FPGets(r, line, sizeof line)) got.push_back(line);
  EXPECT_EQ(got, (std::vector<std::string>{"one\n", "two-", "long", "\n", "end"}));
}

TEST(Files, AtomicWritesReplaceWholeAndNeverFollowLinks) {
  TestRoot root;
  std::string path = root.Path("tmp/f");
  ASSERT_EQ(WriteFileAtomic(path, "first", 0600), 0);
  ASSERT_EQ(WriteFileAtomic(path, "second", 0600), 0);
  std::string data;
  EXPECT_EQ(MFILE_Read(path, data), 6);
  EXPECT_EQ(data, "second");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(MFILE_Read(root.Path("tmp/missing"), data), -1);
  EXPECT_EQ(WriteFileAtomic(root.Path("no/such/dir/f"), "x", 0600), -1);

  root.Write("etc/target", "keep");
  ASSERT_EQ(symlink(root.Path("etc/target").c_str(), root.Path("tmp/link").c_str()), 0);
  std::string locked;
  EXPECT_LT(MFILE_LockRW(root.Path("tmp/link"), locked, 1), 0);
  EXPECT_EQ(root.Read("etc/target"), "keep");
}

TEST(Logs, LineHasTimePidAndMessage) {
  TestRoot root;
  std::string log = root.Path("log/error.log");
  LOG_FileLine(log, "f()->g(%s)=%d", "x", -2);
  LOG_FileStr(log, "raw");
  LOG_FileStr2(log, 0, "|%d\n", 5);
  std::string text = root.Read("log/error.log");
  std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \[(\d+)\] f\(\)->g\(x\)=-2\nraw\|5\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, line)) << text;
  EXPECT_EQ(m[1], std::to_string(getpid()));
}

// A value that holds line ends or other control bytes never makes a second
// line, nor a column in a TAB-separated line: the log writer cleans it.
TEST(Logs, ValuesNeverStartALineOrAColumn) {
  TestRoot root;
  const std::string forged = "x.txt\r\n2024/01/01 00:00:00 [1] forged\x1b[2J\x7f\x01";
  const std::string clean = "x.txt__2024/01/01 00:00:00 [1] forged_[2J__";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> write;
    std::string want;  // the line after its time stamp, or whole
  } cases[] = {
      {"LOG_FileLine", [&](const std::string& log) { LOG_FileLine(log, "g(%s)=%d", forged.c_str(), 1); },
       "g(" + clean + ")=1\n"},
      {"LOG_FileLine, a line end in the format",
       [&](const std::string& log) { LOG_FileLine(log, "a\nb%s", ""); }, "a_b\n"},
      {"LOG_FileStr2, every kind of text",
       [&](const std::string& log) {
         LOG_FileStr2(log, 0, "%s\t%s\t%s\t%d\t%s\n", forged.c_str(), forged,
                      std::string_view(forged).substr(0, 7), -2, static_cast<const char*>(nullptr));
       },
       clean + "\t" + clean + "\tx.txt__\t-2\t(null)\n"},
  };
  for (const Case& c : cases) {
    std::string log = root.Path("log/error.log");
    std::remove(log.c_str());
    c.write(log);
    std::string text = root.Read("log/error.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << c.what << ": " << text;
    EXPECT_TRUE(text.ends_with(c.want)) << c.what << ": " << text;
  }
}

}  // namespace
