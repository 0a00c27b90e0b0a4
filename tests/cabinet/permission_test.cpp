// DC_Permission: the owner, another user's grants, the public cabinets'
// administrators and records, and everything that denies.
#include <string>

#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "common/acl/acl_object.h"
#include "common/cabinet/permission/dc_permission.h"
#include "host/account/session.h"
#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

class PermissionTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* u : {"alice", "bob", "carol", "root1", "dadmin"}) root.AddUser(u);
    root.Write("home/alice/dc/docs/a/b.txt", "b");
    root.Write("home/alice/dc/docs/x.txt", "x");
    root.Write("home/alice/dc/docsx/y.txt", "y");
    root.Write("home/alice/dc/top.txt", "t");
    root.Write("home/alice/dc/.finfo", "top.txt\tTop\n");
    root.Write("home/alice/dc/linked/.link", "@\n/\n");
    root.Write("home/alice/dc/linked/in.txt", "i");
    cabinet_test::AddGrant("alice", "/docs", "bob", 2, 1);
    cabinet_test::AddGrant("alice", "/flat", "bob", 3, 0);
    root.Write("etc/privileges.conf", "A10 - root1\nA10 d.example dadmin\n");
    root.Write("public/dc/reports/q.txt", "q");
    root.Write("domains/d.example/public/dc/x", "x");
    Record("@", "/", "alice", 0x0744);
    Record("@", "/reports", "alice", 0x0700);
    Record("@", "/reports/open.txt", "alice", 0x0702);
    Record("@d.example", "/", "alice", 0x0704);
    Session s;
    s.user_id = "bob";
    s.domain = "localhost";
    SetSessionForTest(s, Preference());
  }

  void Record(const std::string& base, const std::string& name, const std::string& owner,
              int permission) {
    MdsSession dir(nullptr, nullptr);
    ASSERT_TRUE(dir.ok());
    ACL_Object o;
    o.name = name;
    o.owner = owner;
    o.permission = permission;
    ASSERT_EQ(ACL_ObjectSet(dir.get(), DC_AclPath(base, "/", ""), o, kAclSetInsert), 0);
  }

  TestRoot root;
};

TEST_F(PermissionTest, CheckOrder) {
  std::string deep20;  // a file 20 folders down: its 20th parent is "/"
  for (int i = 1; i < 20; ++i) deep20 += "/l" + std::to_string(i);
  struct Case {
    const char* what;
    std::string user, base, dir, name;
    int must_exist;
    int want;
  } cases[] = {
      {"owner without any ACL file", "alice", "alice", "/docs", "x.txt", 1, 14},
      {"owner through *", "alice", "*alice", "/", "top.txt", 1, 14},
      {"owner, the folder itself", "alice", "alice", "/docs", "", 0, 14},
      {".. in the folder", "alice", "alice", "/docs/../docs", "x.txt", 0, 0},
      {".. in the name", "alice", "alice", "/", "docs/../top.txt", 0, 0},
      {"reserved name, owner", "alice", "alice", "/", ".finfo", 0, 0},
      {"reserved name in a name's folder", "alice", "alice", "/", "docs/.acl", 0, 0},
      {"a file inside a link folder", "alice", "alice", "/linked", "in.txt", 1, 0},
      {"missing file, must exist", "alice", "alice", "/docs", "nope.txt", 1, 0},
      {"missing file, need not exist", "alice", "alice", "/docs", "nope.txt", 0, 14},
      {"not a cabinet", "alice", "/etc", "/", "passwd", 0, 0},
      {"owner id that climbs", "alice", "*../alice", "/", "top.txt", 0, 0},
      {"read grant inherited", "bob", "*alice", "/docs/a", "b.txt", 1, 4},
      {"read grant on the folder", "bob", "alice", "/docs", "", 0, 4},
      {"grant on /docs is not /docsx", "bob", "*alice", "/docsx", "y.txt", 1, 0},
      {"no grant on the root", "bob", "*alice", "/", "top.txt", 1, 0},
      {"no grant for carol", "carol", "*alice", "/docs", "x.txt", 1, 0},
      {"grant not inherited: the folder", "bob", "*alice", "/flat", "f.txt", 0, 6},
      {"grant not inherited: below", "bob", "*alice", "/flat/sub", "f.txt", 0, 0},
      {"site administrator", "root1", "@", "/reports", "q.txt", 1, 14},
      {"site administrator, a domain", "root1", "@d.example", "/", "x", 0, 4},
      {"domain administrator", "dadmin", "@d.example", "/", "x", 0, 14},
      {"domain administrator, the site", "dadmin", "@", "/reports", "q.txt", 0, 0},
      {"the file's own record", "bob", "@", "/reports", "open.txt", 0, 2},
      {"the folder's record", "bob", "@", "/reports", "q.txt", 1, 0},
      {"the owner of the record", "alice", "@", "/reports", "q.txt", 1, 15},
      {"the root's record", "bob", "@", "/other", "z.txt", 0, 4},
      {"the 20th parent is the root", "bob", "@", deep20, "f.txt", 0, 4},
      {"the 21st parent is not looked at", "bob", "@", deep20 + "/l20", "f.txt", 0, 0},
      {"empty user", "", "@", "/", "z.txt", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DC_Permission(c.user, c.base, c.dir, c.name, c.must_exist), c.want) << c.what;
  }
}

TEST_F(PermissionTest, NewItemsAndAclPaths) {
  EXPECT_EQ(DC_NewItemPermission("bob", "*alice", "/docs"), 4);
  EXPECT_EQ(DC_NewItemPermission("bob", "*alice", "/flat"), 0);
  EXPECT_EQ(DC_NewItemPermission("alice", "alice", "/"), 14);
  EXPECT_EQ(DC_AclPath("@", "/", ""), root.Path("public/dc/.acl"));
  EXPECT_EQ(DC_AclPath("@", "/a/b", ""), root.Path("public/dc/a/.acl"));
  EXPECT_EQ(DC_AclPath("@", "/a/b", "f"), root.Path("public/dc/a/b/.acl"));
  EXPECT_EQ(DC_AclPath("/x", "/", ""), "");
  ACL_Object found;
  EXPECT_EQ(DC_AclFind("@", "/reports/deep/er/f", found), 0);
  EXPECT_EQ(found.name, "/reports");
  EXPECT_EQ(DC_AclFind("@nowhere", "/a", found), -1);
}

}  // namespace
