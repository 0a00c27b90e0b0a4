// The group store: ids, reading, and every change keeping the users' own
// lists in step, also with concurrent writers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gmock/gmock.h>

#include "directory_fixture.h"
#include "host/account/passwd_file.h"

using namespace directory_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

TEST(GroupIds, SplittingAndParents) {
  struct Row {
    const char* id;
    const char* parent;  // LGRP_ParentID
    bool parses;         // ParseGroup
    const char* last;
    unsigned number;
  } rows[] = {
      {"/", "/", false, "", 0},          {"/@d", "/@d", false, "", 0},
      {"/1", "/", true, "1", 1},         {"/1/3@d.org", "/1@d.org", true, "3", 3},
      {"/a/1f", "/a", true, "1f", 0x1f}, {"", "/", false, "", 0},
      {"nothing", "/", false, "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.id);
    EXPECT_EQ(LGRP_ParentID(r.id), r.parent);
    std::string parent, last;
    EXPECT_EQ(ParseGroup(r.id, parent, last), r.parses);
    if (r.parses) EXPECT_EQ(last, r.last);
    EXPECT_EQ(LGRP_GroupNumber(r.id), r.number);
  }
  EXPECT_EQ(LGRP_QualifyID("/1", "d"), "/1@d");
  EXPECT_EQ(LGRP_QualifyID("/1@e", "d"), "/1@e");
  EXPECT_EQ(LGRP_QualifyID("/1", ""), "/1");
  EXPECT_EQ(LgrpChildId("/@d", 0x11), "/11@d");
  // A byte above 0x80 and the next are one character: its second byte is
  // never an "@" or "/".
  EXPECT_EQ(MbStrChr("\x81@x@y", '@'), 3u);
  EXPECT_EQ(MbStrRChr("/a/\x82/", '/'), 2u);
  EXPECT_EQ(MbStrChr("ab\x81", '@'), std::string_view::npos);
}

TEST(GroupIds, FoldersStayInsideTheStore) {
  TestRoot root;
  EXPECT_EQ(LGRP_GroupDir("/"), root.Path("public/grp"));
  EXPECT_EQ(LGRP_GroupDir("/1/a3/"), root.Path("public/grp/1/a3"));
  EXPECT_EQ(LGRP_GroupDir("/1@d.org"), root.Path("public/grp/1"));  // single-domain site
  for (const char* bad : {"1", "/..", "/1/../2", "/1//2", "/A", "/x", "/123456789", "/1@..",
                          "/1@a/b", "/1@.", "/./1"}) {
    EXPECT_FALSE(LGRP_GroupDir(bad)) << bad;
  }
  root.Site("MultiDomain = 1");
  EXPECT_EQ(LGRP_GroupDir("/2@d.org"), root.Path("domains/d.org/grp/2"));
  EXPECT_EQ(LGRP_GroupDir("/2"), root.Path("public/grp/2"));
}

TEST(GroupIds, NameCheck) {
  struct Row {
    const char* text;
    int charset;
    bool path;
    int want;
  } rows[] = {
      {"Sales", 0, false, 0},        {"", 0, false, 0},         {"/", 0, true, 9},
      {"a b", 0, false, 9},          {"a@b", 0, false, 9},      {"a/b", 0, false, 9},
      {"/a/b", 0, true, 0},          {"/a//b", 0, true, 9},     {"it's", 0, false, 9},
      {"\xe3\x81\x82", 1, false, 0}, {"\xe3\x81", 1, false, 9},  // cut short
      {"\x82@", 3, false, 0},  // the "@" is the second byte of a two-byte character
      {"\x82@", 0, false, 9},
  };
  for (const Row& r : rows)
    EXPECT_EQ(LGRP_CheckGroupName(r.text, r.charset, r.path), r.want) << r.text;
  EXPECT_EQ(LGRP_CheckGroupName(nullptr, 0, false), 9);
  EXPECT_EQ(LGRP_CheckGroupName(std::string(257, 'a').c_str(), 0, false), 9);
}

class GroupStore : public DirectoryTest {};

TEST_F(GroupStore, ResolvingNamePaths) {
  root.Write("public/grp/Group.list",
             "1\tSales\t\t\t\t0\t\t0\t0\t0\n"
             "2\tSales\t\t\t\t0\t\t0\t0\t0\n"  // same name: the first wins
             "3\tFour\tfields\tonly\n"
             "4\tLast\t\t\t\t0\t\t0\t0\t0");  // no newline: read whole
  root.Write("public/grp/1/Group.list", "a\tEast\t\t\t\n");
  std::string id;
  EXPECT_EQ(LGRP_ResolveGroupID("/Sales/East/", id), 0);
  EXPECT_EQ(id, "/1/a");
  EXPECT_EQ(LGRP_ResolveGroupID("/Last@x.org", id), 0);
  EXPECT_EQ(id, "/4@x.org");
  EXPECT_EQ(LGRP_ResolveGroupID("/Four", id), -1);
  EXPECT_THAT(Log("libquenbylgrp_err.log"), ::testing::HasSubstr("No such group 'Four'"));
  EXPECT_EQ(LGRP_ResolveGroupID("Sales", id), -1);
  EXPECT_THAT(Log("libquenbylgrp_err.log"), ::testing::HasSubstr("Group id format error (Sales)"));
  // The root reads no file: it resolves even when the list cannot be read.
  ASSERT_EQ(unlink(root.Path("public/grp/Group.list").c_str()), 0);
  ASSERT_EQ(mkdir(root.Path("public/grp/Group.list").c_str(), 0700), 0);
  EXPECT_EQ(LGRP_ResolveGroupID("/Sales", id), -1);
  EXPECT_EQ(LGRP_ResolveGroupID("/@d.org", id), 0);
  EXPECT_EQ(id, "/@d.org");
}

TEST_F(GroupStore, NumbersAreReusedAndHex) {
  MDS_Context* ctx = Open();
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(Create(ctx, ("/g" + std::to_string(i)).c_str()), 0);
  ASSERT_EQ(MDS_GroupDelete(ctx, "/g2"), 0);
  ASSERT_EQ(Create(ctx, "/again"), 0);
  std::string id;
  ASSERT_EQ(LGRP_ResolveGroupID("/again", id), 0);
  EXPECT_EQ(id, "/2");
  for (int i = 4; i <= 17; ++i) ASSERT_EQ(Create(ctx, ("/g" + std::to_string(i)).c_str()), 0);
  ASSERT_EQ(LGRP_ResolveGroupID("/g17", id), 0);
  EXPECT_EQ(id, "/11");
  EXPECT_EQ(Create(ctx, "/g5"), 3);  // a sibling has the name
}

TEST_F(GroupStore, RoundTripKeepsEveryUsersListInStep) {
  MDS_Context* ctx = Open();
  for (const char* g : {"/Sales", "/Sales/East", "/Sales/West", "/Marketing"}) {
    ASSERT_EQ(Create(ctx, g), 0) << g;
  }
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales/East", "alice"), 0);
  EXPECT_EQ(MDS_GroupUserCreate(ctx, "/Sales/East", "alice"), 3);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales/East", "bob"), 0);
  ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Sales/East", "carol"), 0);
  ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Sales/East", "bob"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Marketing", "dave"), 0);
  EXPECT_THAT(Members(ctx, "/Sales/East"), ElementsAre("alice", "bob"));
  EXPECT_THAT(StoreProblems(root), IsEmpty());

  // Rename, then move under another parent: names and numbers change, every
  // member's and administrator's entry follows.
  ASSERT_EQ(MDS_GroupRename(ctx, "/Sales/East", nullptr, "North"), 0);
  EXPECT_EQ(MDS_GroupRename(ctx, "/Sales/North", nullptr, "West"), 3);
  ASSERT_EQ(MDS_GroupRename(ctx, "/Sales/North", "/Marketing", nullptr), 0);
  EXPECT_THAT(UserGroups(ctx, "alice"), ElementsAre("/Marketing/North"));
  EXPECT_THAT(UserGroups(ctx, "carol"), ElementsAre("/Marketing/North"));
  EXPECT_THAT(Members(ctx, "/Marketing/North", true), ElementsAre("carol", "bob"));
  EXPECT_EQ(MDS_GroupIsAdm(ctx, "carol"), 2);
  EXPECT_THAT(StoreProblems(root), IsEmpty());

  // Administration taken away: a mere administrator is then in no group.
  ASSERT_EQ(MDS_GroupAdmDelete(ctx, "/Marketing/North", "carol"), 0);
  ASSERT_EQ(MDS_GroupAdmDelete(ctx, "/Marketing/North", "bob"), 0);
  EXPECT_THAT(UserGroups(ctx, "carol"), IsEmpty());
  EXPECT_THAT(UserGroups(ctx, "bob"), ElementsAre("/Marketing/North"));
  ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Marketing/North", "carol"), 0);
  EXPECT_THAT(StoreProblems(root), IsEmpty());

  // A group with sub-groups stays; deleting it leaves no entry behind, also
  // none of its administrators'.
  EXPECT_EQ(MDS_GroupDelete(ctx, "/Marketing"), 4);
  EXPECT_EQ(MDS_GroupDelete(ctx, "/"), 5);
  ASSERT_EQ(MDS_GroupDelete(ctx, "/Marketing/North"), 0);
  EXPECT_THAT(UserGroups(ctx, "alice"), IsEmpty());
  EXPECT_EQ(MDS_GroupIsAdm(ctx, "carol"), 0);
  ASSERT_EQ(Create(ctx, "/Marketing/Next"), 0);  // takes the freed number
  EXPECT_EQ(MDSAP_IsGroupAdmin(ctx, "carol", "/Marketing/Next", "300"), 0);
  EXPECT_THAT(StoreProblems(root), IsEmpty());

  // A user deleted from the directory leaves every group.
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Sales/West", "dave"), 0);
  ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Sales", "dave"), 0);
  ASSERT_EQ(MDS_UserDelete(ctx, "dave"), 0);
  EXPECT_THAT(UserGroups(ctx, "dave"), IsEmpty());
  EXPECT_THAT(Members(ctx, "/Sales", true), IsEmpty());
  EXPECT_THAT(StoreProblems(root), IsEmpty());
}

TEST_F(GroupStore, MovingAGroupUnderItselfChangesNothing) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/A"), 0);
  ASSERT_EQ(Create(ctx, "/A/B"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/A/B", "alice"), 0);
  EXPECT_EQ(MDS_GroupRename(ctx, "/A", "/A/B", nullptr), 2);
  EXPECT_THAT(UserGroups(ctx, "alice"), ElementsAre("/A/B"));
  MdsStringList subs;
  ASSERT_EQ(MDS_GroupGListGet(ctx, "/A/B", &subs.items, &subs.count), 0);
  EXPECT_EQ(subs.count, 0);
  EXPECT_THAT(StoreProblems(root), IsEmpty());
}

TEST_F(GroupStore, ShortLinesAreSkippedAndDroppedByTheNextRewrite) {
  root.Write("public/grp/Group.list", "1\tA\t\t\t\n2\tB\t\t\n3\tC\t\t\t\t0\t\t5\t6\t7");
  MDS_Context* ctx = Open();
  MdsStringList names;
  ASSERT_EQ(MDS_GroupGListGet(ctx, "/", &names.items, &names.count), 0);
  EXPECT_THAT(Strings(names), ElementsAre("/A", "/B", "/C"));  // three fields list
  MdsGroupInfoList infos;
  ASSERT_EQ(MDS_GroupGInfoListGet(ctx, "/", &infos.items, &infos.count), 0);
  ASSERT_EQ(infos.count, 2);
  EXPECT_STREQ(infos.items[0].f[6], "0");  // a line ending after field 5
  EXPECT_STREQ(infos.items[1].f[3], "7");
  ASSERT_EQ(MDS_GroupRename(ctx, "/A", nullptr, "A2"), 0);
  EXPECT_EQ(root.Read("public/grp/Group.list"),
            "1\tA2\t\t\t\t0\t\t0\t0\t0\n3\tC\t\t\t\t0\t\t5\t6\t7\n");
}

TEST_F(GroupStore, AdministrationCoversTheGroupsBelow) {
  root.Write("home/alice/Group.list", "+/1\n/10\n\n/10\n+/2@d\n");
  EXPECT_EQ(LGRP_IsGroupAdm("alice", "/1"), 1);
  EXPECT_EQ(LGRP_IsGroupAdm("alice", "/1/5"), 1);
  EXPECT_EQ(LGRP_IsGroupAdm("alice", "/10"), 0);
  EXPECT_EQ(LGRP_IsGroupAdm("alice", "/2"), 0);  // the domains must agree
  EXPECT_EQ(LGRP_IsGroupAdm("alice", "/2/3@d"), 1);
  EXPECT_EQ(LGRP_IsGroupAdm("alice", ""), -1);
  std::vector<std::string> entries;
  ASSERT_EQ(LGRP_GetUserGroupList("alice", entries), 0);
  EXPECT_THAT(entries, ElementsAre("+/1", "/10", "+/2@d"));
  root.Write("home/bob/Group.list", "/1\n+/1\n");
  ASSERT_EQ(LGRP_GetUserGroupList("bob", entries), 0);
  EXPECT_THAT(entries, ElementsAre("+/1"));
}

TEST_F(GroupStore, LevelsReachThePasswordRecords) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/L", "0"), 0);
  ASSERT_EQ(Create(ctx, "/L/Inherit", "0"), 0);
  ASSERT_EQ(Create(ctx, "/L/Own", "5"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/L", "alice"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/L/Inherit", "bob"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/L/Own", "carol"), 0);
  std::string id;
  ASSERT_EQ(LGRP_ResolveGroupID("/L", id), 0);
  EXPECT_EQ(LGRP_ModifyUserLevel(id.c_str(), 2), 0);
  PassRecord rec;
  for (auto [user, level] : {std::pair{"alice", 2}, {"bob", 2}, {"carol", 4}, {"dave", 0}}) {
    ASSERT_EQ(ReadPass(user, rec), 0);
    EXPECT_EQ(rec.level, level) << user;
    EXPECT_EQ(rec.hash, "*") << user;
  }
  EXPECT_EQ(LGRP_ModifyUserLevel(nullptr, 1), 0);
  EXPECT_THAT(Log("libquenbylgrp_err.log"), ::testing::HasSubstr("gets no pcGroupID"));
  // The group's own level, else the nearest above.
  EXPECT_EQ(MDSAP_GroupLevelGet(ctx, "/L/Own"), 5);
  EXPECT_EQ(MDSAP_GroupLevelGet(ctx, "/L/Inherit"), 0);
}

TEST_F(GroupStore, HugeAndBrokenFilesAreFileErrors) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/Big"), 0);
  // A list over the limit (a sparse file: no disk is used).
  int fd = open(root.Path("public/grp/1/user.list").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kLgrpFileMax) + 1), 0);
  close(fd);
  MdsMemberList members;
  EXPECT_EQ(MDS_GroupUListGet(ctx, "/Big", &members.items, &members.count), 2);
  EXPECT_EQ(MDS_GroupUserCreate(ctx, "/Big", "alice"), 2);
  // A list that is a symbolic link is not followed.
  root.Write("outside.txt", "alice\n");
  ASSERT_EQ(unlink(root.Path("public/grp/1/user.list").c_str()), 0);
  ASSERT_EQ(symlink(root.Path("outside.txt").c_str(), root.Path("public/grp/1/user.list").c_str()),
            0);
  EXPECT_EQ(MDS_GroupUListGet(ctx, "/Big", &members.items, &members.count), 2);
  EXPECT_EQ(root.Read("outside.txt"), "alice\n");
  // Member lines that cannot be user ids are no members.
  ASSERT_EQ(unlink(root.Path("public/grp/1/user.list").c_str()), 0);
  root.Write("public/grp/1/user.list", std::string(200, 'a') + "\n\nbob");
  EXPECT_THAT(Members(ctx, "/Big"), ElementsAre("bob"));
}

// Eight processes add 25 members each to one group and to another group in
// turn, while this process reads the files: no member is lost, no file is
// ever seen half-written, and every user's list agrees with the store.
TEST_F(GroupStore, ConcurrentWritersLoseNothing) {
  MDS_Context* ctx = Open();
  ASSERT_EQ(Create(ctx, "/Busy"), 0);
  ASSERT_EQ(Create(ctx, "/Other"), 0);
  constexpr int kWriters = 8, kEach = 25;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEach; ++i) root.AddUser("w" + std::to_string(w) + "u" + std::to_string(i));
  }
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      MdsSession dir(nullptr, nullptr);
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        std::string u = "w" + std::to_string(w) + "u" + std::to_string(i);
        failures += MDS_GroupUserCreate(dir.get(), "/Busy", u.c_str()) != 0;
        failures += MDS_GroupAdmCreate(dir.get(), "/Other", u.c_str()) != 0;
        if (i % 5 == 0) failures += MDS_GroupUserDelete(dir.get(), "/Busy", u.c_str()) != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  std::string bad;
  auto whole = [](const std::string& text) { return text.empty() || text.back() == '\n'; };
  for (int reads = 0; reads < 300 && bad.empty(); ++reads) {
    for (const char* f : {"public/grp/1/user.list", "public/grp/2/admin.list"}) {
      if (!whole(root.Read(f))) bad = f;
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(bad, "");
  std::vector<std::string> busy = Members(ctx, "/Busy"), other = Members(ctx, "/Other", true);
  EXPECT_EQ(busy.size(), static_cast<size_t>(kWriters * (kEach - kEach / 5)));
  EXPECT_EQ(other.size(), static_cast<size_t>(kWriters * kEach));
  EXPECT_THAT(StoreProblems(root), IsEmpty());
  EXPECT_EQ(std::count(busy.begin(), busy.end(), "w3u1"), 1);
}

}  // namespace
