#include "common/attach/background_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "host/account/session.h"
#include "host/files/hashed_store.h"
#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::Visible;
namespace fs = std::filesystem;

namespace {

class BackgroundListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session s;
    s.user_id = "u";
    SetSessionForTest(s, Preference());
    list = BG_ListPath("c1");
    store = HashedStoreRoot();
  }
  static BackgroundRecord Rec(const std::string& name, const std::string& path, int size = 7,
                              int type = 2) {
    BackgroundRecord r{};
    std::strncpy(r.name, name.c_str(), sizeof r.name - 1);
    std::strncpy(r.path, path.c_str(), sizeof r.path - 1);
    r.size = size;
    r.type = type;
    return r;
  }

  TestRoot root;
  std::string list;
  std::string store;
};

TEST(BackgroundSeparator, PassesOverWellFormedReferences) {
  const std::pair<const char*, int> cases[] = {
      {"a;b", 1},
      {"a&#65;b;", 7},
      {"&#x3B;;", 6},
      {"&#X3b;;", 6},
      {"&#d59;;", 6},
      {"&#D59;;", 6},
      {"&#65;&#66;.gif;", 14},
      {"&#;", 2},
      {"&#x;", 3},
      {"&#d;", 3},
      {"&#1a;", 4},
      {"&#a1;", 4},
      {"&#dabc;", 6},
      {"&&#65;;", 6},
      {"&#65", -1},
      {"", -1},
  };
  for (const auto& [in, at] : cases) {
    const char* sep = BG_NextSeparator(in);
    EXPECT_EQ(sep ? static_cast<int>(sep - in) : -1, at) << in;
  }
}

TEST_F(BackgroundListTest, PathsNameUserAndCompose) {
  EXPECT_EQ(list, root.Path("tmp/u_c1_BG.dat"));
  EXPECT_EQ(BS_ListPath("c1"), root.Path("tmp/u_c1_BS.dat"));
}

TEST_F(BackgroundListTest, ReadsTheValidLinesAndKeepsTheLast) {
  const std::string p = store + "/0a/0b/f.gif";
  struct Case {
    const char* label;
    std::string text;
    int count;
    std::string name, path;
    int size, type;
  } cases[] = {
      {"reference in the name", "a&#65;b.gif;" + p + ";1200;2\n", 1, "a&#65;b.gif", p, 1200, 2},
      {"two references", "&#12354;&#x3044;.gif;" + p + ";5;0\n", 1, "&#12354;&#x3044;.gif", p, 5,
       0},
      {"two lines", "a.gif;" + p + ";1;1\nb.gif;" + p + "2;3;4\n", 2, "b.gif", p + "2", 3, 4},
      {"two separators", "a.gif;" + p + ";12\n", 0, "", "", 0, 0},
      {"no newline, CRLF before", "x;" + p + ";9;1\r\ny.gif;" + p + ";8;3", 2, "y.gif", p, 8, 3},
      {"garbage numbers", "a;" + p + ";12kb;-x\n", 1, "a", p, 12, 0},
      {"overflow", "a;" + p + ";99999999999;-99999999999\n", 1, "a", p, 2147483647,
       -2147483647 - 1},
      {"a line too long is skipped whole",
       "big;" + std::string(2000, 'p') + ";1;1\nok;" + p + ";2;2\n", 1, "ok", p, 2, 2},
      {"a path too long for its slot is never cut", "a;/" + std::string(300, 'p') + ";1;1\n", 0, "",
       "", 0, 0},
      {"a TAB in the path names the file", "a;" + p + "\t;1;1\n", 1, "a", p + "\t", 1, 1},
      {"a long name is cut", std::string(400, 'n') + ";" + p + ";1;1\n", 1, std::string(255, 'n'),
       p, 1, 1},
      {"binary garbage", std::string("\0;\xff\n;;;\n\x01", 9), 1, "", "", 0, 0},
  };
  for (const Case& c : cases) {
    root.Write("tmp/u_c1_BG.dat", c.text);
    EXPECT_EQ(BG_ListRead(list), c.count) << c.label;
    EXPECT_EQ(BG_Count(), c.count) << c.label;
    if (c.count == 0) continue;
    EXPECT_EQ(BG_Record().name, c.name) << c.label;
    EXPECT_EQ(BG_Record().path, c.path) << c.label;
    EXPECT_EQ(BG_Record().size, c.size) << c.label;
    EXPECT_EQ(BG_Record().type, c.type) << c.label;
  }
  EXPECT_EQ(BG_ListRead(root.Path("tmp/none")), 0);
}

// Whatever name a record holds, the list gets one line that reads back as
// written; the sound list is a list of its own.
TEST_F(BackgroundListTest, WrittenNamesReadBackOnOneLine) {
  const std::string p = store + "/0a/0b/f.wav";
  struct Case {
    std::string name, listed;
  } cases[] = {
      {"sky.png", "sky.png"},
      {"a;b.png", "a&#59;b.png"},
      {"two\r\nlines.png", "two__lines.png"},
      {"a&#65;b", "a&#65;b"},
      {"&#1a;x", "&#1a&#59;x"},      // not a reference on this list
      {"ends&#12", "ends&#38;#12"},  // the separator must not close it
      {"&#dx;", "&#dx&#59;"},
  };
  for (const Case& c : cases) {
    BS_Set(Rec(c.name, p));
    ASSERT_EQ(BS_ListWrite(BS_ListPath("c1")), 1) << c.name;
    std::string text = root.Read("tmp/u_c1_BS.dat");
    EXPECT_EQ(text, c.listed + ";" + p + ";7;2\n") << Visible(text);
    ASSERT_EQ(BS_ListRead(BS_ListPath("c1")), 1) << Visible(text);
    EXPECT_EQ(BS_Record().name, c.listed);
    EXPECT_EQ(BS_Record().path, p);
  }
  EXPECT_FALSE(root.Exists("tmp/u_c1_BG.dat"));
  // A path that would not read back is never written.
  BG_Set(Rec("x", store + "/a;b"));
  EXPECT_EQ(BG_ListWrite(list), -1);
  EXPECT_FALSE(root.Exists("tmp/u_c1_BG.dat"));
}

TEST_F(BackgroundListTest, ALinkAtTheListNameIsReplacedNotWrittenThrough) {
  root.Write("tmp/victim", "keep");
  fs::create_symlink(root.Path("tmp/victim"), list);
  BG_Set(Rec("sky.png", store + "/0a/0b/s.png"));
  ASSERT_EQ(BG_ListWrite(list), 1);
  EXPECT_EQ(root.Read("tmp/victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(list));
  EXPECT_EQ(BG_ListRead(list), 1);  // and a link is never read
  fs::remove(list);
  fs::create_symlink(root.Path("tmp/victim"), list);
  EXPECT_EQ(BG_ListRead(list), 0);
}

TEST_F(BackgroundListTest, RemoveDeletesOnlyBelowTheStoreOnceWritten) {
  root.Write("httpd/html/hashed_store/0a/0b/s.png", "x");
  root.Write("tmp/victim", "x");
  BG_Set(Rec("s.png", store + "/0a/0b/s.png"));
  ASSERT_EQ(BG_Remove(), 1);
  EXPECT_EQ(BG_Remove(), -1);
  EXPECT_TRUE(root.Exists("httpd/html/hashed_store/0a/0b/s.png"));  // the list still names it
  root.Write("tmp/u_c1_BG.dat", "old");
  EXPECT_EQ(BG_ListWrite(list), 0);
  EXPECT_FALSE(root.Exists("tmp/u_c1_BG.dat"));
  EXPECT_FALSE(root.Exists("httpd/html/hashed_store/0a/0b/s.png"));

  for (const std::string& path : {root.Path("tmp/victim"), store + "/../../../tmp/victim"}) {
    BG_Set(Rec("v", path));
    BG_Remove();
    EXPECT_EQ(BG_ListWrite(list), 0);
    EXPECT_TRUE(root.Exists("tmp/victim")) << path;
  }
}

}  // namespace
