// attachtool rights, cabinet-path, cabinet-list, acl-set and grant, as an
// operator runs them: output to the byte and exit statuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/tool_run.h"

using namespace testing_support;
using testing::HasSubstr;

namespace {

class CabinetCommandTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.AddUser("bob");
    root.Write("etc/dc_type.conf", "*.txt\tText\t1\n*\tFile\t9\n");
    root.Write("home/alice/dc/docs/a.txt", "alpha");
    root.Write("home/alice/dc/docs/.finfo", "a.txt\tShown\tkey:v\nb c\td\n");
    root.Write("home/alice/dc/docs/tab\tname.bin", "xy");
    root.Write("home/alice/dc/docs/sub/x", "");
    root.Write("home/alice/dc/docs/far/.link", "@\n/\n");
    root.Write("home/alice/dc/docs/.acl", "");
    symlink("/etc/passwd", root.Path("home/alice/dc/docs/passwd").c_str());
    mtime = 1700000000;
    for (const char* f : {"a.txt", "tab\tname.bin", "sub", "far"}) {
      struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
      utimensat(AT_FDCWD, root.Path(std::string("home/alice/dc/docs/") + f).c_str(), t, 0);
    }
  }

  ToolRun Run(const std::vector<std::string>& args) { return RunAttachtool(root, args); }

  TestRoot root;
  long mtime = 0;
};

TEST_F(CabinetCommandTest, Rights) {
  EXPECT_EQ(Run({"rights", "alice", "alice", "/docs", "a.txt"}).out, "14\n");
  EXPECT_EQ(Run({"rights", "bob", "*alice", "/docs", "a.txt"}).out, "0\n");
  ToolRun grant = Run({"grant", "alice", "/docs", "b*", "2"});
  EXPECT_EQ(grant.status, 0) << grant.err;
  EXPECT_EQ(grant.out, "result\t0\n");
  EXPECT_EQ(Run({"rights", "bob", "*alice", "/docs/sub", "x"}).out, "4\n");
  EXPECT_EQ(Run({"rights", "bob", "*alice", "/docsx"}).out, "0\n");
  EXPECT_EQ(Run({"grant", "alice", "/docs", "b*", "3", "0"}).out, "result\t0\n");  // changed
  EXPECT_EQ(Run({"rights", "bob", "*alice", "/docs/sub", "x"}).out, "0\n");
  EXPECT_EQ(Run({"rights", "bob", "*alice", "/docs"}).out, "6\n");

  EXPECT_EQ(Run({"rights", "bob", "@", "/", "f"}).out, "0\n");  // no records
  root.Write("public/dc/.keep", "");
  ToolRun set = Run({"acl-set", "@", "/", "alice", "", "0744", "1:bob:2"});
  EXPECT_EQ(set.out, "result\t0\n") << set.err;
  EXPECT_EQ(Run({"rights", "bob", "@", "/x", "f"}).out, "2\n");  // the entry replaces "others"
  EXPECT_EQ(Run({"rights", "carol", "@", "/x", "f"}).out, "4\n");
  EXPECT_EQ(Run({"rights", "alice", "@", "/", ""}).out, "15\n");
  EXPECT_EQ(Run({"acl-set", "@", "/y", "nobody", "", "0"}).out, "result\t7\n");
  EXPECT_EQ(Run({"acl-set", "@", "/y", "nobody", "", "0"}).status, 1);
}

TEST_F(CabinetCommandTest, CabinetPath) {
  const std::string r = root.path();
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"alice", "a/./b//c/../d"}, "/a/b/d\t\t0\t" + r + "/home/alice/dc/a/b/d\n"},
      {{"@", "../x", "f.txt"}, "\tf.txt\t0\t" + r + "/public/dc/\n"},
      {{"@d.org", "/a", "b/c.txt"}, "/a/b\tc.txt\t0\t" + r + "/domains/d.org/public/dc/a\n"},
      {{"*bob", "a", ".."}, "/\t\t1\t" + r + "/home/bob/dc/a\n"},
      {{"alice", "/", "x/.acl.ext"}, "/x\t.acl.ext\t3\t" + r + "/home/alice/dc/\n"},
      {{"alice", "/", "dir/"}, "/dir\t\t0\t" + r + "/home/alice/dc/\n"},
      {{"/etc", "/", ".ACL"}, "/\t.ACL\t0\t\n"},
      {{"@..", "/"}, "/\t\t0\t\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"cabinet-path"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolRun t = Run(args);
    EXPECT_EQ(t.status, 0) << args[1];
    EXPECT_EQ(Visible(t.out), Visible(c.out)) << args[1] << " " << args[2];
  }
}

TEST_F(CabinetCommandTest, CabinetList) {
  ToolRun t = Run({"cabinet-list", "alice", "/docs"});
  EXPECT_EQ(t.status, 0) << t.err;
  std::string m = std::to_string(mtime);
  EXPECT_EQ(Visible(t.out), Visible("sub\t0\t0\t" + m + "\t\n" +         //
                                    "far\t1\t0\t" + m + "\t\n" +         //
                                    "a.txt\t2\t5\t" + m + "\tShown\n" +  //
                                    "tab name.bin\t3\t2\t" + m + "\t\n"));
  for (std::vector<std::string> refused : {std::vector<std::string>{"alice", "../x"},
                                           {"/etc", "/"},
                                           {"alice", "/none"},
                                           {"*../alice", "/"}}) {
    ToolRun r = Run({"cabinet-list", refused[0], refused[1]});
    EXPECT_EQ(r.status, 1) << refused[0] << refused[1];
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CabinetCommandTest, UsageErrors) {
  for (std::vector<std::string> args : {std::vector<std::string>{"rights", "a", "b"},
                                        {"rights", "a", "b", "c", "d", "e"},
                                        {"cabinet-path", "a"},
                                        {"cabinet-path", "a", "b", "c", "d"},
                                        {"cabinet-list", "a"},
                                        {"cabinet-list", "a", "b", "c"},
                                        {"grant", "alice", "/d", "b", "two"},
                                        {"acl-set", "@", "/", "alice", "", "zz"},
                                        {"acl-set", "@", "/", "alice", "", "1", "x"}}) {
    ToolRun t = Run(args);
    EXPECT_EQ(t.status, 2) << args[0] << " " << args.size();
    EXPECT_EQ(t.out, "");
    EXPECT_THAT(t.err, HasSubstr("usage: attachtool " + args[0]));
  }
  EXPECT_EQ(Run({"acl-set", "alice", "/", "alice", "", "1"}).status, 2);
}

}  // namespace
