// attachtool dir: its output to the byte, exit statuses, usage errors, and
// hostile ids, names and assignments that must never reach a file.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_root.h"
#include "support/tool_run.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::RunAttachtool;
using testing_support::TestRoot;
using testing_support::ToolRun;
using testing_support::Visible;
namespace fs = std::filesystem;

namespace {

class DirCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* u : {"alice", "bob", "list"}) root.AddUser(u);
  }
  ToolRun Dir(std::vector<std::string> args) {
    args.insert(args.begin(), "dir");
    return RunAttachtool(root, args);
  }
  // Runs and expects exactly `out` on standard output and `status`.
  void Expect(const std::vector<std::string>& args, const std::string& out, int status) {
    ToolRun run = Dir(args);
    EXPECT_EQ(Visible(run.out), Visible(out)) << args[0] << "\n" << run.err;
    EXPECT_EQ(run.status, status) << args[0];
  }
  TestRoot root;
};

TEST_F(DirCommand, OutputToTheByte) {
  Expect({"GroupCreate", "/Sales", "list", "back\\slash", "3", "t7", "1000", "t6", "9"},
         "result\t0\n/Sales\tlist\tback\\\\slash\t3\tt7\t1000\tt6\t9\nclose\t6\n", 0);
  Expect({"GroupInfoGet", "/Sales"},
         "result\t0\n/Sales\tlist\tback\\\\slash\t3\tt7\t1000\tt6\t9\nclose\t6\n", 0);
  // A refused record is printed too, as it stands after the call.
  Expect({"GroupCreate", "/Tab", "a\tb\r\n"},
         "result\t5\n/Tab\ta\\tb\\r\\n\t(null)\t(null)\t(null)\t(null)\t(null)\t(null)\nclose\t6\n",
         1);
  Expect({"GroupGListGet", "/"}, "result\t0\n/Sales\nclose\t6\n", 0);
  Expect({"GroupInfoGet", "/Nope"}, "result\t5\nclose\t6\n", 1);
  Expect({"GroupInfoGet", "/"},
         "result\t0\n/\t(null)\t(null)\t(null)\t(null)\t(null)\t(null)\t(null)\nclose\t6\n", 0);
  Expect({"GroupUserCreate", "/Sales", "alice"}, "result\t0\nclose\t6\n", 0);
  Expect({"GroupUListGet", "/Sales"}, "result\t0\nalice\t(null)\nclose\t6\n", 0);
  Expect({"GroupRename", "/Sales", "(null)", "(null)"}, "result\t0\nclose\t6\n", 0);
  Expect({"IsUserExist", "alice"}, "result\t1\nclose\t6\n", 1);
  Expect({"UserPassGet", "alice"}, "result\t0\nalice:0:*\nclose\t6\n", 0);
  Expect({"UserSearch", "LI"}, "result\t0\nalice\t/Sales\nclose\t6\n", 0);
  Expect({"Shutdown"}, "result\t6\nclose\t6\n", 1);
  Expect({"UserInfoUpdate", "UID=alice"}, "result\t6\nclose\t6\n", 1);
  root.Write("home/alice/.userinfo", "UNAME: A\tB\nUMEMO: x\ty\n");
  std::string fields = "(null)\tA\\tB\t(null)\t(null)\talice@localhost";
  for (int i = 5; i < 11; ++i) fields += "\t(null)";
  fields += "\tx\\ny";  // the memo's TAB is a newline
  for (int i = 12; i < 39; ++i) fields += "\t(null)";
  Expect({"UserInfoGet", "alice"}, "result\t0\n" + fields + "\nclose\t6\n", 0);
}

TEST_F(DirCommand, ApplicationFunctions) {
  ASSERT_EQ(Dir({"GroupCreate", "/Sales", "list"}).status, 0);
  Expect({"MDSAP_DefaultGroup"}, "result\t0\n/UNCATEGORIZED\nclose\t6\n", 0);
  Expect({"MDSAP_GroupUserCreate", "/Sales", "alice"}, "result\t0\nclose\t6\n", 0);
  Expect({"MDSAP_IsInGroupTree", "alice", "/"}, "result\t1\nclose\t6\n", 1);
  Expect({"MDSAP_IsInGroupTree", "alice", "/Sal"}, "result\t0\nclose\t6\n", 0);
  Expect({"MDSAP_FindGroupID2", "/", "Sales/Nope"}, "result\t0\n/\n\nclose\t6\n", 0);
  Expect({"MDSAP_FindGroupID", "/", "les"}, "result\t0\n/Sales\nclose\t6\n", 0);
  Expect({"MDSAP_FindGroupIDByFwd", "/", "list"}, "result\t1\n/Sales\nclose\t6\n", 1);
  Expect({"--as", "bob", "MDSAP_FwdAdd", "list", "new", "", "a note", "0", "0"},
         "result\t0\nclose\t6\n", 0);
  Expect({"MDSAP_FwdGet", "list"},
         "result\t0\nalice@localhost\t\t\t0\nnew@localhost\t\ta note\t0\nclose\t6\n", 0);
  Expect({"MDSAP_FwdRead", "list"},
         "result\t0\n@A:A0\\nalice@localhost\\nnew@localhost#a note\\n\nclose\t6\n", 0);
  Expect({"MDSAP_UserInfoUpdate", "bob", "UNAME=Bob", "UHOME_FAX=12"}, "result\t0\nclose\t6\n", 0);
  EXPECT_THAT(root.Read("home/bob/.userinfo"), HasSubstr("UNAME: Bob\n"));
  EXPECT_THAT(root.Read("home/bob/.userinfo"), HasSubstr("UFAX: 12\n"));
  Expect({"MDSAP_UserCreate", "/Sales", "carol", "pw", "1", "0", "1", "UNAME=Carol"},
         "result\t0\nclose\t6\n", 0);
  EXPECT_THAT(root.Read("etc/passwd"), HasSubstr("\ncarol:1:*\n"));
  Expect({"MDSAP_UserRemove", "carol"}, "result\t0\nclose\t6\n", 0);
  EXPECT_THAT(root.Read("etc/passwd"), Not(HasSubstr("carol")));
}

TEST_F(DirCommand, UsageErrorsAndFailedContextsPrintNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"Nope"},
      {"GroupDelete"},
      {"GroupDelete", "/a", "/b"},
      {"UserPassUpdate", "alice", "pw", "one"},
      {"UserInfoUpdate", "NOKEY=1"},
      {"UserInfoUpdate", "UNAME"},
      {"--as"},
      {"--bad", "x", "Shutdown"},
      {"--assign", "@..", "Shutdown"},
      {"--assign", "x/y://z", "Shutdown"},
  };
  for (const auto& args : cases) {
    ToolRun run = Dir(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err, "");
  }
  root.Write("etc/broken.conf", "preloadlib = /no/such.so\n");
  ToolRun run = Dir({"--conf", root.Path("etc/broken.conf"), "Shutdown"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
}

TEST_F(DirCommand, LoadedBackEnd) {
  root.Write("etc/lgrp.conf", std::string("preloadlib = ") + AD_LIB_DIR + "/libmds_lgrp.so\n");
  std::string conf = root.Path("etc/lgrp.conf");
  Expect({"--conf", conf, "GroupCreate", "/Sales"},
         "result\t0\n/Sales\t(null)\t(null)\t(null)\t(null)\t(null)\t(null)\t(null)\nclose\t0\n",
         0);
  Expect({"--conf", conf, "GroupAdmCreate", "/Sales", "bob"}, "result\t0\nclose\t0\n", 0);
  Expect({"GroupAListGet", "/Sales"}, "result\t0\nbob\t(null)\nclose\t6\n", 0);
}

// The names of all files below `dir` with their contents.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::end(it); ++it) {
    std::string rel = fs::relative(it->path(), dir).string();
    if (rel.starts_with("log") || rel.starts_with("attachtool.")) continue;
    std::string content = "<dir>";
    if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    files[rel] = content;
  }
  return files;
}

// Ids, names and assignments that try to leave the store: each is refused
// before any file is read or written, inside the root or outside it. A
// planted group list outside the root would show as "Evil" if it were read.
TEST_F(DirCommand, HostileInputStaysOutOfEveryFile) {
  root.Site("MultiDomain = 1");
  fs::create_directories(root.Path("domains/d.org"));
  root.AddUser("alice@d.org");
  ASSERT_EQ(Dir({"--assign", "@d.org", "GroupCreate", "/Sales"}).status, 0);
  ASSERT_EQ(Dir({"--assign", "@d.org", "GroupUserCreate", "/Sales", "alice@d.org"}).status, 0);
  const std::string outside = root.path() + ".outside";
  fs::create_directories(outside + "/grp");
  root.Write("home/alice@d.org/Group.list",
             "/1@d.org\n/../../x\n+/1@../../" + fs::path(outside).filename().string() + "\n");
  { std::ofstream(outside + "/grp/Group.list") << "1\tEvil\t\t\t\n"; }
  const auto before = Tree(root.path());
  const std::string escape = "@../../" + fs::path(outside).filename().string();
  struct Row {
    std::vector<std::string> args;
    const char* want;  // the first line, or "" for a usage error (exit 2)
  } rows[] = {
      {{"GroupCreate", "/Bad\tName"}, "result\t5"},
      {{"GroupCreate", "/Bad\nName"}, "result\t5"},
      {{"GroupCreate", "/Ok", "acct\r"}, "result\t5"},
      {{"GroupInfoUpdate", "/Sales", "a", "b\nc"}, "result\t5"},
      {{"GroupRename", "/Sales", "(null)", "New\nName"}, "result\t5"},
      {{"GroupRename", "/Sales", "(null)", "a/b"}, "result\t5"},
      {{"GroupUserCreate", "/Sales", "../../etc"}, "result\t5"},
      {{"GroupUserCreate", "/Sales", "a/b"}, "result\t5"},
      {{"GroupAdmCreate", "/Sales", ".hidden"}, "result\t5"},
      {{"UserGListGet", ".."}, "result\t5"},
      {{"UserInfoGet", "../alice"}, "result\t5"},
      {{"UserDelete", "x\ny"}, "result\t5"},
      {{"MDSAP_UserInfoUpdate", "../etc", "UNAME=x"}, "result\t5"},
      {{"MDSAP_FwdAdd", "../list", "a", "", "", "1", "0"}, "result\t5"},
      {{"MDSAP_UserRemove", "a/../b"}, "result\t5"},
      {{"--assign", "@..", "GroupGListGet", "/"}, ""},
      {{"--assign", escape, "GroupGListGet", "/"}, ""},
      {{"--assign", "mds://x" + escape, "GroupGListGet", "/"}, ""},
      {{"--assign", "PA.book" + escape, "UserSearch", ""}, ""},
      {{"--assign", "ldap://../x", "GroupGListGet", "/"}, ""},
      {{"--as", "alice@d.org", "--assign", "@d.org", "UserGListGet", "alice@d.org"},
       "result\t0\n/Sales\nclose\t6"},
      {{"UserGListGet", "alice@d.org"}, "result\t0\nclose\t6"},  // no entry names a group
      {{"--assign", "@d.org", "GroupIsAdm", "alice@d.org"}, "result\t1"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(Visible(r.args.back()));
    ToolRun run = Dir(r.args);
    if (*r.want) {
      EXPECT_TRUE(run.out.starts_with(r.want)) << Visible(run.out);
    } else {
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.out, "");
    }
    EXPECT_THAT(run.out, Not(HasSubstr("Evil")));
  }
  EXPECT_EQ(Tree(root.path()), before);
  EXPECT_EQ(Tree(outside), (std::map<std::string, std::string>{
                               {"grp", "<dir>"}, {"grp/Group.list", "1\tEvil\t\t\t\n"}}));
  fs::remove_all(outside);
}

}  // namespace
