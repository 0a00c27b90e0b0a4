#include "common/attach/attach_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "host/account/session.h"
#include "host/files/root.h"
#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::Visible;

namespace {

class AttachListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session s;
    s.user_id = "u";
    SetSessionForTest(s, Preference());
    ATT_Table().count = 0;
    list = ATT_ListPath("c1");
  }
  static AttachRecord Rec(const std::string& name, const std::string& path,
                          const char* charset = "utf-8", int size = 1) {
    AttachRecord r{};
    std::strncpy(r.name, name.c_str(), sizeof r.name - 1);
    std::strncpy(r.path, path.c_str(), sizeof r.path - 1);
    std::strncpy(r.charset, charset, sizeof r.charset - 1);
    r.size = size;
    return r;
  }
  std::string Tmp(const std::string& name) const { return host::TmpDir() + "/" + name; }

  TestRoot root;
  std::string list;
};

TEST_F(AttachListTest, PathNamesUserAndCompose) {
  EXPECT_EQ(list, root.Path("tmp/u_c1_Attach.dat"));
}

TEST(AttachSeparator, SkipsNumericReferences) {
  const std::pair<const char*, int> cases[] = {
      {"a;b", 1}, {"a&#59;", -1}, {"a&#x3B;", -1}, {"a&#X41;", -1}, {"a&#a1;", -1},
      {"&#;", 2}, {"x41;", 3},    {"&#xx41;", 6},  {"a;&#59;", 1},  {"", -1},
  };
  for (const auto& [in, at] : cases) {
    std::string text = in;
    char* sep = ATT_LastSeparator(text.data());
    EXPECT_EQ(sep ? static_cast<int>(sep - text.data()) : -1, at) << in;
  }
}

TEST(AttachSetField, NamesReadBackAsWritten) {
  // Input, field size, field.
  const std::tuple<const char*, std::size_t, const char*> cases[] = {
      {"a;b.txt", 256, "a&#59;b.txt"}, {"a\r\nb\x7f", 256, "a__b_"},
      {"a&#x3B;", 256, "a&#x3B;"},     {"x&#12", 256, "x&#38;#12"},  // "&#12;" would close it
      {"abc;def", 8, "abc"},           {"ab\xc3\xa9", 4, "ab"},
      {"abcd&#12", 8, "abcd"},         {"\xe2\x82", 8, "\xe2\x82"},
  };
  for (const auto& [in, size, out] : cases) {
    char field[256];
    ATT_SetField(field, size, in);
    EXPECT_EQ(std::string(field), out) << Visible(in);
  }
}

TEST_F(AttachListTest, LoadsLinesAndWritesSixFields) {
  const std::string stored = Tmp("u_1_A_5_0");
  const std::string first = "0;;utf-8;a&#59;b.txt;" + stored + ";12\n";
  root.Write("tmp/u_c1_Attach.dat", first +
                                        "x;utf-8;b.txt;/webmail/tmp/f;7\r\n"
                                        "1;utf-8;c.txt;/p\n"
                                        "3;t;big5;h&#x3B;i;/q;-5");
  ASSERT_EQ(ATT_ListRead(list), 3);
  const AttachRecord* r = ATT_Table().records;
  EXPECT_STREQ(r[0].charset, "utf-8");
  EXPECT_STREQ(r[0].name, "a&#59;b.txt");
  EXPECT_EQ(r[0].path, stored);
  EXPECT_EQ(r[0].size, 12);
  EXPECT_STREQ(r[1].ext_text, "x");
  EXPECT_EQ(r[1].ext_num, 0);
  EXPECT_STREQ(r[2].name, "h&#x3B;i");
  EXPECT_EQ(r[2].ext_num, 3);
  EXPECT_EQ(r[2].size, -5);
  EXPECT_EQ(ATT_HasCharset(), 1);
  EXPECT_EQ(ATT_CharsetsMixed(), 1);

  ASSERT_EQ(ATT_ListWrite(list), 3);
  EXPECT_EQ(root.Read("tmp/u_c1_Attach.dat"), first +
                                                  "0;x;utf-8;b.txt;/webmail/tmp/f;7\n"
                                                  "3;t;big5;h&#x3B;i;/q;-5\n");
}

TEST_F(AttachListTest, CharsetChecksPassOverEmptyAndUnknown) {
  for (const char* cs : {"utf-8", "", "no-such", "UTF-8"}) ATT_ListAdd(Rec("n", "/p", cs));
  EXPECT_EQ(ATT_CharsetsMixed(), 0);
  ATT_Table().count = 2;
  ATT_Table().records[0].charset[0] = '\0';
  EXPECT_EQ(ATT_HasCharset(), 0);
}

TEST_F(AttachListTest, EmptyTableDeletesTheFile) {
  root.Write("tmp/u_c1_Attach.dat", "0;;;a;/p;1\n");
  EXPECT_EQ(ATT_ListWrite(list), 0);
  EXPECT_FALSE(root.Exists("tmp/u_c1_Attach.dat"));
}

TEST_F(AttachListTest, RemovedFilesBelowTmpGoOnlyOnceTheListIsWritten) {
  for (const char* f : {"tmp/s0", "tmp/s1", "tmp/s2", "etc/x"}) root.Write(f, "data");
  ATT_ListAdd(Rec("a", Tmp("s0")));
  ATT_ListAdd(Rec("b", Tmp("s1")));
  ATT_ListAdd(Rec("c", Tmp("../etc/x")));
  ATT_ListAdd(Rec("d", root.Path("etc/x")));

  EXPECT_EQ(ATT_ListRemove(4), -1);
  EXPECT_EQ(ATT_ListRemove(-1), -1);
  EXPECT_EQ(ATT_Table().count, 4);
  EXPECT_EQ(ATT_ListRemove(0), 1);
  ASSERT_EQ(ATT_Table().count, 3);
  EXPECT_STREQ(ATT_Table().records[0].name, "b");
  EXPECT_STREQ(ATT_Table().records[2].name, "d");
  EXPECT_EQ(ATT_ListRemove(1), 1);
  EXPECT_EQ(ATT_ListRemove(1), 1);
  EXPECT_STREQ(ATT_Table().records[0].name, "b");
  EXPECT_TRUE(root.Exists("tmp/s0"));  // still named by the list on disk

  // A list that cannot be written keeps the removed file for the old list.
  const std::string blocker = root.Path("tmp/u_c1_Attach.dat.tmp." + std::to_string(getpid()));
  ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
  EXPECT_EQ(ATT_ListWrite(list), -1);
  EXPECT_TRUE(root.Exists("tmp/s0"));
  rmdir(blocker.c_str());

  EXPECT_EQ(ATT_ListWrite(list), 1);
  EXPECT_FALSE(root.Exists("tmp/s0"));
  EXPECT_TRUE(root.Exists("etc/x"));
  EXPECT_TRUE(root.Exists("tmp/s1"));
}

TEST_F(AttachListTest, LoadStopsAt256AndAddAt255) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "0;;;n" + std::to_string(i) + ";/p;1\n";
  root.Write("tmp/u_c1_Attach.dat", text);
  EXPECT_EQ(ATT_ListRead(list), 256);
  EXPECT_STREQ(ATT_Table().records[255].name, "n255");
  EXPECT_EQ(ATT_ListAdd(Rec("x", "/p")), -1);
  ATT_Table().count = 254;
  EXPECT_EQ(ATT_ListAdd(Rec("x", "/p")), 1);
  EXPECT_EQ(ATT_ListAdd(Rec("y", "/p")), -1);
}

TEST_F(AttachListTest, JunkAndLongLinesStayInsideSlots) {
  std::string junk = "0;;;ok;/p;1\n";
  junk += std::string(2000, 'A') + ";cs;tail;/t;9\n";  // skipped whole, tail too
  junk += ";;;;;;;;\n&#;&#x;&#59;\n\n\r\n;\n-99999999999999999999;e;c;n;/p;99999999999\n";
  junk += std::string(300, 'n') + ";" + std::string(40, 'c') + ";\xff\xfe;" +
          std::string(300, '\xc3') + ";" + std::string(20, '\0') + ";7\n";
  for (int i = 0; i < 512; ++i) junk += static_cast<char>((i * 37) & 0xff);
  root.Write("tmp/u_c1_Attach.dat", junk);
  int n = ATT_ListRead(list);
  ASSERT_GE(n, 3);
  EXPECT_STREQ(ATT_Table().records[0].name, "ok");
  EXPECT_STREQ(ATT_Table().records[1].name, "");  // ";;;;;;;;" has every field, all empty
  EXPECT_EQ(ATT_Table().records[2].ext_num, INT32_MIN);
  EXPECT_EQ(ATT_Table().records[2].size, INT32_MAX);
  for (int i = 0; i < n; ++i) {
    const AttachRecord& r = ATT_Table().records[i];
    EXPECT_LT(strnlen(r.name, sizeof r.name), sizeof r.name);
    EXPECT_LT(strnlen(r.charset, sizeof r.charset), sizeof r.charset);
    EXPECT_LT(strnlen(r.ext_text, sizeof r.ext_text), sizeof r.ext_text);
    EXPECT_STRNE(r.name, "tail");
  }
}

TEST_F(AttachListTest, HostileNamesNeverAddLines) {
  AttachRecord set = Rec("", Tmp("s"));
  ATT_SetField(set.name, sizeof set.name, "a\r\nb;c.txt");
  ATT_ListAdd(set);
  // Filled directly, as a careless caller might.
  ATT_ListAdd(Rec("evil\n0;;;x;/y;1\nz&#1", Tmp("p;q\n"), "u;\r"));
  ASSERT_EQ(ATT_ListWrite(list), 2);
  ASSERT_EQ(ATT_ListRead(list), 2) << Visible(root.Read("tmp/u_c1_Attach.dat"));
  EXPECT_STREQ(ATT_Table().records[0].name, "a__b&#59;c.txt");
  EXPECT_STREQ(ATT_Table().records[1].name, "evil_0&#59;&#59;&#59;x&#59;/y&#59;1_z&#38;#1");
  EXPECT_EQ(ATT_Table().records[1].path, Tmp("p_q_"));
  EXPECT_STREQ(ATT_Table().records[1].charset, "u&#59;_");
}

TEST_F(AttachListTest, ConcurrentWritersNeverInterleave) {
  std::string texts[2];
  for (int w = 0; w < 2; ++w) {
    ATT_Table().count = 0;
    for (int i = 0; i < 20 + 30 * w; ++i) ATT_ListAdd(Rec(std::string(200, 'a' + w), "/p"));
    ATT_ListWrite(list);
    texts[w] = root.Read("tmp/u_c1_Attach.dat");
  }
  pid_t pids[2];
  for (int w = 0; w < 2; ++w) {
    pids[w] = fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      ATT_Table().count = 0;
      for (int i = 0; i < 20 + 30 * w; ++i) ATT_ListAdd(Rec(std::string(200, 'a' + w), "/p"));
      bool ok = true;
      for (int k = 0; k < 200; ++k) ok = ok && ATT_ListWrite(list) == ATT_Table().count;
      _exit(ok ? 0 : 1);
    }
  }
  int bad = 0;
  for (int k = 0; k < 400; ++k) {
    std::string seen = root.Read("tmp/u_c1_Attach.dat");
    if (seen != texts[0] && seen != texts[1]) ++bad;
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(bad, 0);
}

}  // namespace
