// A public cabinet whose ACL grants a group, with the groups in LDAP:
// attachdesk, run as a CGI program with etc/mds.conf naming the LDAP back
// end, attaches for a member of the group and refuses (error 3) everybody
// else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/acl/acl_object.h"
#include "common/directory/mds.h"
#include "host/files/files.h"
#include "support/cgi_run.h"
#include "support/ldap_tree.h"
#include "support/test_root.h"

using testing::HasSubstr;
using namespace testing_support;

namespace {

TEST(CabinetLdap, GroupEntryGrantsMembersOnly) {
  TestRoot root;
  LdapTree tree;
  ASSERT_TRUE(tree.Load({"--user", "carol", "--user", "dave", "--member", "/Staff/Team", "carol",
                         "--group", "/Other", "--member", "/Other", "dave"}));
  tree.WriteMdsConf(root);
  for (const char* u : {"alice", "carol", "dave"}) root.AddUser(u);
  root.Write("httpd/template/en/attach.dat", "E=$ERRORMSG|N=$count|\n");
  for (const char* conf : {"mime.types", "magic"}) {
    std::string data;
    MFILE_Read(std::string(AD_SOURCE_DIR) + "/conf/" + conf, data);
    root.Write(std::string("httpd/conf/") + conf, data);
  }
  root.Write("public/dc/reports/q.txt", "quarter\n");
  {
    // Owner alice only, and read for the group /Staff and the groups below.
    MdsSession dir(nullptr, nullptr);
    ASSERT_TRUE(dir.ok()) << root.Read("log/mds.log");
    ACL_Object object;
    object.name = "/";
    object.owner = "alice";
    object.permission = 0x0700;
    object.entries.push_back(ACL_Entry{"/Staff", kAclGroup, 4});
    ASSERT_EQ(ACL_ObjectAdd(dir.get(), root.Path("public/dc/.acl"), object), 0);
    object.group = "/Nope";
    EXPECT_EQ(ACL_ObjectAdd(dir.get(), root.Path("public/dc/.acl2"), object), kAclUnknownGroup);
  }
  struct Case {
    const char* user;
    const char* code;
    bool attached;
  } cases[] = {{"carol", "0", true}, {"dave", "3", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    root.ClearTmp();
    CgiRequest req;
    req.query = "atid=1&doc=1&dc_base=@&dir_path=/reports&name=q.txt";
    req.remote_user = c.user;
    CgiResult r = RunCgi("attachdesk", root.path(), req);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_THAT(r.page, HasSubstr(std::string("E=") + c.code + "|")) << root.Read("log/mds.log");
    EXPECT_EQ(root.ListLines("1", c.user).size(), c.attached ? 1u : 0u);
  }
}

}  // namespace
