// The application layer over the built-in operations: group checks, user
// information, search, membership rules, forwarding files, user creation and
// removal with their option bits and hooks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>

#include "directory_fixture.h"
#include "host/account/account.h"
#include "host/account/passwd_file.h"
#include "host/account/session.h"

using namespace directory_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

namespace {

class GroupChecks : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    ctx = Open();
    for (const char* g : {"/Sales", "/Sales/East", "/Sales/EastCoast", "/Marketing"}) {
      ASSERT_EQ(Create(ctx, g), 0);
    }
    ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales/East", "alice"), 0);
    ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Sales", "bob"), 0);
    ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/", "carol"), 0);
    root.Write("etc/privileges.conf", "# code domain user\n300 - dave\n300 other.org alice\n");
  }
  MDS_Context* ctx = nullptr;
};

TEST_F(GroupChecks, InGroupTree) {
  struct Row {
    const char* user;
    const char* group;
    int want;
  } rows[] = {
      {"alice", "/Sales", 1},
      {"alice", "/Sales/East", 1},
      {"alice", "/", 1},
      {"alice", "/Sal", 0},
      {"alice", "/Sales/EastCoast", 0},
      {"alice", "/Sales/", 1},
      {"alice", "/Sales@any.org", 1},
      {"alice", "/Marketing", 0},
      {"alice", "", -1},
      {"bob", "/Sales", 1},
      {"dave", "/", 0},
      {"no/such", "/", -1},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(MDSAP_IsInGroupTree(ctx, r.user, r.group), r.want) << r.user << " " << r.group;
  }
}

TEST_F(GroupChecks, GroupAdmin) {
  struct Row {
    const char* user;
    const char* group;
    int want;
  } rows[] = {
      {"bob", "/Sales/East", 1},  // found one level up
      {"bob", "/Sales/", 1},     {"BOB", "/Sales", 1},
      {"bob", "/Marketing", 0},  {"carol", "/Marketing", 1},  // the root's list is consulted last
      {"dave", "/Marketing", 1},                              // privilege 300 for the site
      {"alice", "/Sales", 0},  // privilege 300 only in another domain
      {"alice", "", 0},          {"alice", "/Nope", -1},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(MDSAP_IsGroupAdmin(ctx, r.user, r.group, "300"), r.want) << r.user << " " << r.group;
  }
  MDS_Context* other = Open("@other.org");
  EXPECT_EQ(MDSAP_IsGroupAdmin(other, "alice", "/Marketing", "300"), 1);
  EXPECT_EQ(MDSAP_IsSiteAdmin(ctx, "bob"), 1);
  EXPECT_EQ(MDSAP_IsSiteAdmin(ctx, "dave"), 1);
  EXPECT_EQ(MDSAP_IsSiteAdmin(ctx, "alice"), 0);
  EXPECT_EQ(MDSAP_IsInTheGroup(ctx, "alice", "/Sales/East"), 1);
  EXPECT_EQ(MDSAP_IsInTheGroup(ctx, "alice", "/Sales"), 0);
}

TEST_F(GroupChecks, FindingGroups) {
  EXPECT_EQ(MDSAP_FindGroupID(ctx, "/", "East").value_or("-"), "/Sales/East");
  EXPECT_EQ(MDSAP_FindGroupID(ctx, "/", "Coast").value_or("-"), "/Sales/EastCoast");
  EXPECT_FALSE(MDSAP_FindGroupID(ctx, "/Marketing", "East"));
  std::string path = "Sales/EastCoast";
  EXPECT_EQ(MDSAP_FindGroupID2(ctx, "/", path).value_or("-"), "/Sales/EastCoast");
  path = "Sales/West";
  EXPECT_EQ(MDSAP_FindGroupID2(ctx, "/", path).value_or("-"), "/");
  EXPECT_EQ(path, "");
}

TEST_F(DirectoryTest, UserGroupsOfOneDomainOnly) {
  root.Site("MultiDomain = 1");
  root.AddUser("eve@a.org");
  std::filesystem::create_directories(root.Path("domains/a.org"));
  std::filesystem::create_directories(root.Path("domains/b.org"));
  MDS_Context* a = Open("@a.org");
  MDS_Context* b = Open("@b.org");
  MDS_Context* site = Open();
  ASSERT_EQ(Create(a, "/InA"), 0);
  ASSERT_EQ(Create(b, "/InB"), 0);
  ASSERT_EQ(Create(site, "/InSite"), 0);
  for (MDS_Context* ctx : {a, b, site}) {
    MdsStringList top;
    ASSERT_EQ(MDS_GroupGListGet(ctx, "/", &top.items, &top.count), 0);
    ASSERT_EQ(top.count, 1);
    ASSERT_EQ(MDS_GroupUserCreate(ctx, top.items[0], "eve@a.org"), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(root.Path("domains/a.org/grp/1/user.list")));
  EXPECT_THAT(UserGroups(a, "eve@a.org"), ElementsAre("/InA"));
  EXPECT_THAT(UserGroups(b, "eve@a.org"), ElementsAre("/InB"));
  EXPECT_THAT(UserGroups(Open("@B.ORG"), "eve@a.org"), ElementsAre("/InB"));  // any case
  EXPECT_THAT(UserGroups(site, "eve@a.org"), ElementsAre("/InSite"));
  // The user's own list names each domain's group with its domain.
  EXPECT_EQ(root.Read("home/eve@a.org/Group.list"), "/1@a.org\n/1@b.org\n/1\n");
}

TEST_F(DirectoryTest, UserInformation) {
  MDS_Context* ctx = Open();
  root.Write("home/alice/.userinfo",
             "UNAME: Alice  \r\nUMEMO: one\ttwo\nUFAX: 1\nUHOME_FAX: 2\nUNKNOWN: x\nUNAME:: y\n"
             "UCUSTOM1: " +
                 std::string(600, 'm') + "UEMAIL: not@a.line\n");
  MdsUserInfoRecord info;
  ASSERT_EQ(MDS_UserInfoGet(ctx, "alice", &info.rec), 0);
  EXPECT_STREQ(info.rec.f[1], "Alice");
  EXPECT_STREQ(info.rec.f[11], "one\ntwo");
  EXPECT_STREQ(info.rec.f[21], "2");               // the later of UFAX and UHOME_FAX
  EXPECT_STREQ(info.rec.f[4], "alice@localhost");  // a long line is never split into two
  EXPECT_EQ(info.rec.f[2], nullptr);
  MdsUserInfoRecord none;
  EXPECT_EQ(MDS_UserInfoGet(ctx, "bob", &none.rec), 2);
  root.Write("home/bob/.userinfo", "");
  EXPECT_EQ(MDS_UserInfoGet(ctx, "bob", &none.rec), 0);
  EXPECT_EQ(none.rec.f[4], nullptr);
  // The host keeps the same record; newlines never start a line of their own.
  UINFO host;
  host.f[1] = "Bob\nUEMAIL: forged";
  host.f[11] = "memo\nline two";
  ASSERT_EQ(MDSAP_UserInfoUpdate(ctx, "bob", host), 0);
  UINFO back;
  ASSERT_EQ(MDSAP_UserInfoGet(ctx, "bob", back), 0);
  EXPECT_EQ(back.f[1], "Bob UEMAIL: forged");
  EXPECT_EQ(back.f[11], "memo\nline two");
  EXPECT_EQ(back.f[4], "bob@localhost");
  EXPECT_EQ(MDSAP_UserInfoUpdate(ctx, "../etc", host), 5);
}

TEST_F(DirectoryTest, SearchByIdOrByAddressBookFields) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/Sales"), 0);
  ASSERT_EQ(Create(ctx, "/Sales/East"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales", "bob"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales/East", "alice"), 0);
  root.Write("home/alice/.userinfo", "UNAME: Alice Smith\n");
  root.Write("home/bob/.userinfo", "UNAME: Bob\nUCOMPANY: Smithy\n");
  auto search = [](MDS_Context* c, const char* pattern) {
    MdsMemberList hits;
    EXPECT_EQ(MDS_UserSearch(c, pattern, &hits.items, &hits.count), 0);
    std::vector<std::string> out;
    for (const MDS_Member& m : hits) out.push_back(std::string(m.first) + " " + m.second);
    return out;
  };
  EXPECT_THAT(search(ctx, "ALI"), ElementsAre("alice /Sales/East"));
  EXPECT_THAT(search(ctx, "smith"), IsEmpty());  // only ids without an address book
  EXPECT_THAT(search(ctx, ""), ElementsAre("bob /Sales", "alice /Sales/East"));
  MDS_Context* book = Open("PA.book");
  root.Write("public/adbsetup.conf", "f_name on\nf_company_name on\nstartgroup = /Sales\n");
  EXPECT_THAT(search(book, "SMITH"), ElementsAre("bob /Sales", "alice /Sales/East"));
  EXPECT_THAT(search(book, "ali"), ElementsAre("alice /Sales/East"));  // by name, not id
  EXPECT_EQ(MDS_LGRP_StartGroup(book), "/Sales");
  EXPECT_EQ(MDS_LGRP_StartGroup(ctx), "/");
}

TEST_F(DirectoryTest, DefaultGroupAndTheLastGroupRule) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/Sales", "4", "list"), 0);
  root.AddUser("list");
  ASSERT_EQ(MDSAP_GroupUserCreate(ctx, "/Sales", "alice"), 0);
  EXPECT_EQ(MDSAP_DefaultGroup(ctx).value_or("-"), "/UNCATEGORIZED");  // made on first use
  PassRecord rec;
  ASSERT_EQ(ReadPass("alice", rec), 0);
  EXPECT_EQ(rec.level, 3);  // group level 4
  EXPECT_EQ(root.Read("home/list/.forward"), "@A:A1\nalice@localhost\n");
  // A user in the default group moves from it.
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/UNCATEGORIZED", "bob"), 0);
  ASSERT_EQ(MDSAP_GroupUserCreate(ctx, "/Sales", "bob"), 0);
  EXPECT_THAT(UserGroups(ctx, "bob"), ElementsAre("/Sales"));
  EXPECT_EQ(root.Read("home/list/.forward"), "@A:A1\nbob@localhost\nalice@localhost\n");
  // Its last group: back to the default group, which it cannot leave.
  ASSERT_EQ(MDSAP_GroupUserDelete(ctx, "/Sales", "bob"), 0);
  EXPECT_THAT(UserGroups(ctx, "bob"), ElementsAre("/UNCATEGORIZED"));
  EXPECT_EQ(MDSAP_GroupUserDelete(ctx, "/UNCATEGORIZED", "bob"), 8);
  EXPECT_EQ(root.Read("home/list/.forward"), "@A:A0\nalice@localhost\n");  // bob left /Sales
  root.Write("etc/rule.conf", "breakingrule = 1\n");
  MdsSession breaking(root.Path("etc/rule.conf").c_str(), nullptr);
  ASSERT_EQ(MDSAP_GroupUserDelete(breaking.get(), "/UNCATEGORIZED", "bob"), 0);
  EXPECT_THAT(UserGroups(ctx, "bob"), IsEmpty());
  EXPECT_THAT(StoreProblems(root), IsEmpty());
}

class Forwarding : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    root.AddUser("list");
    ctx = Open();
  }
  int Add(const char* address, const char* note, int active, int flags = 0,
          const char* replacement = "") {
    MDSAP_FwdEntry e;
    e.address = address;
    e.note = note;
    e.active = active;
    e.replacement = replacement;
    return MDSAP_FwdAdd(ctx, "list", e, flags);
  }
  MDS_Context* ctx = nullptr;
};

TEST_F(Forwarding, AddDelAndSenders) {
  root.Write("home/list/.forward", "@A:M1\n@S:a@x, b@y\nold@localhost # keep \n\n@X:skip\n");
  ASSERT_EQ(Add("new", "n", 1), 0);
  EXPECT_EQ(root.Read("home/list/.forward"),
            "@A:M1\n@S:a@x, b@y\nnew@localhost#n\nold@localhost#keep\n");
  ASSERT_EQ(Add("OLD@localhost", "changed", 1, kFwdReplaceAddress | kFwdNote | kFwdActive,
                "older@localhost"),
            0);
  EXPECT_EQ(root.Read("home/list/.forward"),
            "@A:M1\n@S:a@x, b@y\nolder@localhost#changed\nnew@localhost#n\n");
  std::vector<std::string> senders;
  ASSERT_EQ(MDSAP_FwdSenderGet(ctx, "list", senders), 0);
  EXPECT_THAT(senders, ElementsAre("a@x", "b@y"));
  ASSERT_EQ(MDSAP_FwdDel(ctx, "list", "NEW"), 0);
  EXPECT_EQ(root.Read("home/list/.forward"), "@A:M0\n@S:a@x, b@y\nolder@localhost#changed\n");
  ASSERT_EQ(MDSAP_FwdDel(ctx, "list", "nobody"), 0);
  std::vector<MDSAP_FwdEntry> entries;
  ASSERT_EQ(MDSAP_FwdGet(ctx, "list", entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].note, "changed");
  // Nothing a request sends can add a line.
  const std::string before = root.Read("home/list/.forward");
  EXPECT_EQ(Add("x", "note\n@B:blocked", 1), 5);
  EXPECT_EQ(Add("a#b", "", 1), 5);
  EXPECT_EQ(Add("@B:x", "", 1), 5);
  EXPECT_EQ(Add("a\rb", "", 1), 5);
  EXPECT_EQ(root.Read("home/list/.forward"), before);
  EXPECT_EQ(MDSAP_FwdAdd(ctx, "nosuch", MDSAP_FwdEntry{"a", "", "", 1}, 0), 5);
  EXPECT_EQ(MDSAP_FwdAdd(ctx, "../list", MDSAP_FwdEntry{"a", "", "", 1}, 0), 5);
}

TEST_F(Forwarding, OldFileIsUsedInPlaceAndBlockMarkers) {
  root.Write("home/list/.forward.old", "kept@x\n");
  ASSERT_EQ(Add("more@x", "", 0), 0);
  EXPECT_FALSE(root.Exists("home/list/.forward"));
  EXPECT_EQ(root.Read("home/list/.forward.old"), "@A:A0\nkept@x\nmore@x\n");
  ASSERT_EQ(MDSAP_FwdBlockSet(ctx, "list", "hold"), 0);
  EXPECT_EQ(root.Read("home/list/.forward.old"), "@A:A0\n@B:hold\nkept@x\nmore@x\n");
  EXPECT_EQ(MDSAP_UserRemove(ctx, "list"), 8);
  EXPECT_TRUE(user_exist("list"));
  ASSERT_EQ(MDSAP_FwdBlockSet(ctx, "list", nullptr), 0);
  EXPECT_EQ(root.Read("home/list/.forward.old"), "@A:A0\nkept@x\nmore@x\n");
}

TEST_F(Forwarding, ConcurrentAddsKeepEveryAddress) {
  constexpr int kWriters = 6, kEach = 10;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      MdsSession dir(nullptr, nullptr);
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        MDSAP_FwdEntry e{"w" + std::to_string(w) + "a" + std::to_string(i), "", "", i % 2};
        failures += MDSAP_FwdAdd(dir.get(), "list", e, 0) != 0;
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<MDSAP_FwdEntry> entries;
  ASSERT_EQ(MDSAP_FwdGet(ctx, "list", entries), 0);
  EXPECT_EQ(entries.size(), static_cast<size_t>(kWriters * kEach));
}

// User creation and removal against a back end whose answers a row chooses.
class UserLifeCycle : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    setenv("AD_MDS_LOG", root.Path("tmp/calls.log").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("AD_MDS_LOG");
    unsetenv("AD_MDS_ANSWERS");
  }
  int configs_ = 0;
  // A context over the recording back end with the given options.
  std::unique_ptr<MdsSession> With(const std::string& options, const char* answers) {
    std::string name = "etc/life" + std::to_string(++configs_) + ".conf";
    root.Write(name, "preloadlib = " + Lib("libmds_rec.so") + "\n" + options);
    setenv("AD_MDS_ANSWERS", answers, 1);
    return std::make_unique<MdsSession>(root.Path(name).c_str(), nullptr);
  }
};

TEST_F(UserLifeCycle, CreateByOptionBits) {
  struct Row {
    const char* name;
    const char* options;
    const char* answers;
    bool local_before;
    int want;
    bool account_after;
    bool info_after;
    const char* calls;  // a call the back end must have recorded; "$u" is the user
  } rows[] = {
      {"created", "", "IsUserExist=0", false, 0, true, true, "UserCreate\t$u"},
      {"exists, stored locally", "", "IsUserExist=0,UserCreate=3", false, 0, true, true, ""},
      {"exists with updateonue", "updateonue = 1\n", "IsUserExist=0,UserCreate=3", false, 0, true,
       true, "UserPassUpdate\t$u"},
      {"exists in the directory already", "", "IsUserExist=1", false, 0, true, true,
       "GroupUserCreate\t/G\t$u"},
      {"failed", "", "IsUserExist=0,UserCreate=2", false, 3, false, false, ""},
      {"failed, local account existed", "", "IsUserExist=0,UserCreate=2", true, 3, true, false, ""},
      {"failed with createonucf", "createonucf = 1\n", "IsUserExist=0,UserCreate=2", false, 0, true,
       true, ""},
      {"not supported", "", "IsUserExist=0,UserCreate=6", false, 0, true, false, ""},
      {"local account existed", "", "IsUserExist=0", true, 1, true, true, ""},
  };
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string user = "new" + std::to_string(++n);
    if (r.local_before) root.AddUser(user);
    auto dir = With(r.options, r.answers);
    ASSERT_TRUE(dir->ok());
    UINFO info;
    info.f[1] = "New User";
    EXPECT_EQ(MDSAP_UserCreate(dir->get(), "/G", user.c_str(), "secret", 2, 0, 0, info), r.want);
    EXPECT_EQ(user_exist(user) != 0, r.account_after);
    EXPECT_EQ(root.Exists("home/" + user + "/.userinfo"), r.info_after);
    std::string call = r.calls;
    if (std::size_t at = call.find("$u"); at != std::string::npos) call.replace(at, 2, user);
    EXPECT_THAT(root.Read("tmp/calls.log"), HasSubstr(call));
  }
  PassRecord rec;
  ASSERT_EQ(ReadPass("new1", rec), 0);
  EXPECT_EQ(rec.level, 2);
  EXPECT_TRUE(rec.hash.starts_with("$6$")) << rec.hash;
  EXPECT_EQ(MDSAP_UserCreate(Open(), "/G", "bad user", "pw", 0, 0, 0, UINFO()), 5);
}

TEST_F(UserLifeCycle, RemoveByOptionBits) {
  for (auto [answers, options, want, gone] : {std::tuple{"UserDelete=2", "", -1, false},
                                              {"UserDelete=2", "deleteonudf = 1\n", 0, true},
                                              {"UserDelete=5", "", 0, true},
                                              {"UserDelete=0", "", 0, true}}) {
    SCOPED_TRACE(std::string(answers) + " " + options);
    if (!user_exist("leaving")) root.AddUser("leaving");
    auto dir = With(options, answers);
    EXPECT_EQ(MDSAP_UserRemove(dir->get(), "leaving"), want);
    EXPECT_EQ(user_exist("leaving") == 0, gone);
  }
}

TEST_F(UserLifeCycle, HookAnswers) {
  std::filesystem::copy_file(Lib("libmdsadd_sample.so"), root.Path("lib/libmdsadd.so"));
  MDS_Context* ctx = Open();
  root.Write("etc/hooks.conf", "callmdsadd = 1\n");
  MdsSession hooked(root.Path("etc/hooks.conf").c_str(), nullptr);
  UINFO info;
  info.f[4] = "erin@x";
  // 65 from a PreAdd hook stops the creation.
  root.Write("etc/mdsadd.conf", "MDSADD_UserCreate_PreAdd 65\n");
  EXPECT_EQ(MDSAP_UserCreate(hooked.get(), "/", "erin", "pw", 0, 0, 0, info), 3);
  EXPECT_FALSE(user_exist("erin"));
  EXPECT_THAT(Log("error.log"), HasSubstr("MDSADD_UserCreate_PreAdd(erin) requests to break"));
  // 66 is logged as a failure and the creation goes on; 65 from PostAdd is
  // only noted; other answers are silent.
  root.Write("etc/mdsadd.conf",
             "MDSADD_UserCreate_PreAdd 66\nMDSADD_UserCreate_PostAdd 65\n"
             "MDSADD_UserInfoUpdate_PreAdd 7\n");
  EXPECT_EQ(MDSAP_UserCreate(hooked.get(), "/", "erin", "pw", 0, 0, 0, info), 0);
  EXPECT_TRUE(user_exist("erin"));
  std::string errors = Log("error.log");
  EXPECT_THAT(errors, HasSubstr("MDSADD_UserCreate_PreAdd(erin) failed"));
  EXPECT_THAT(errors, HasSubstr("MDSADD_UserCreate_PostAdd(erin) returns break"));
  EXPECT_THAT(errors, Not(HasSubstr("MDSADD_UserInfoUpdate_PreAdd(erin)")));
  EXPECT_THAT(Log("mdsadd.log"), HasSubstr("MDSADD_UserCreate_PostAdd\terin\terin@x\n"));
  root.Write("etc/mdsadd.conf", "MDSADD_UserInfoUpdate_PreAdd 65\n");
  EXPECT_EQ(MDSAP_UserInfoUpdate(hooked.get(), "erin", info), -1);
  // Without the option no hook runs.
  std::string calls = Log("mdsadd.log");
  UINFO got;
  ASSERT_EQ(MDSAP_UserInfoGet(ctx, "erin", got), 0);
  EXPECT_EQ(Log("mdsadd.log"), calls);
}

// The library is opened by its path, and once opened stays: a missing one is
// shown in a root of its own.
TEST_F(DirectoryTest, MissingHookLibraryAnswers66) {
  root.Write("etc/hooks.conf", "callmdsadd = 1\n");
  MdsSession missing(root.Path("etc/hooks.conf").c_str(), nullptr);
  UINFO got;
  ASSERT_EQ(MDSAP_UserInfoGet(missing.get(), "alice", got), 0);
  EXPECT_THAT(Log("error.log"),
              HasSubstr("MDSADD_LoadFunc: dlopen: " + root.Path("lib/libmdsadd.so")));
  EXPECT_THAT(Log("error.log"), HasSubstr("MDSADD_UserInfoGet_PostAdd(alice) failed"));
}

}  // namespace
