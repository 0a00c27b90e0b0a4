// The LDAP back end loaded in this process against the suite's slapd:
// hostile ids and names, the number of searches of a group check, a server
// that is down or silent, TLS, the password file, and its configuration.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include <gmock/gmock.h>

#include "directory_fixture.h"
#include "support/http_server.h"
#include "support/ldap_tree.h"

using namespace directory_test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing_support::LdapTree;
using testing_support::TestLdapServer;

namespace {

class LdapBackend : public DirectoryTest {
 protected:
  void SetUp() override { ASSERT_FALSE(TestLdapServer().uri.empty()) << "no test LDAP server"; }

  // A context on the LDAP back end with the tree's settings plus `extra`
  // (each configuration under a name of its own), the password file with
  // `bindpw_mode`.
  std::unique_ptr<MdsSession> Open(const std::string& extra = "", mode_t bindpw_mode = 0600) {
    std::string n = std::to_string(++configs_);
    tree.WriteSettings(root, extra, "etc/ldap" + n + ".conf");
    chmod(root.Path("etc/bindpw").c_str(), bindpw_mode);
    root.Write("etc/mds" + n + ".conf", "preloadlib = " + Lib("libmds_ldap.so") +
                                            "\nbackendconf = etc/ldap" + n + ".conf\n");
    return std::make_unique<MdsSession>(root.Path("etc/mds" + n + ".conf").c_str(), nullptr);
  }

  std::vector<std::string> Groups(MDS_Context* ctx, const char* user, int want = 0) {
    MdsStringList list;
    EXPECT_EQ(MDS_UserGListGet(ctx, user, &list.items, &list.count), want) << user;
    return Strings(list);
  }

  std::string LoadLog() const { return Log("mds.log"); }

  LdapTree tree;
  int configs_ = 0;
};

// Ids and names that would change a filter or a DN if they were not
// escaped. Each hostile user is a member of one group only, named after
// it; ids that name no entry find nothing.
TEST_F(LdapBackend, HostileIdsAndNamesMeanThemselves) {
  const std::vector<std::string> users = {
      "*",   "a*", "x)(uid=*", "back\\slash", " lead", "trail ", "a,b",         "a=b+c",
      "<x>", "#h", "a;b",      "q\"uote",     "(",     ")",      "*)(|(uid=*))"};
  std::vector<std::string> args = {"--user",   "alice", "--user", "bob",      "--group", "/x",
                                   "--member", "/x",    "alice",  "--member", "/a,cn=x", "bob"};
  for (std::size_t i = 0; i < users.size(); ++i) {
    for (const std::string& a : {std::string("--user"), users[i]}) args.push_back(a);
    for (const std::string& a : {std::string("--member"), "/h" + std::to_string(i), users[i]}) {
      args.push_back(a);
    }
  }
  ASSERT_TRUE(tree.Load(args));
  auto dir = Open();
  ASSERT_TRUE(dir->ok()) << LoadLog();
  MDS_Context* ctx = dir->get();
  for (std::size_t i = 0; i < users.size(); ++i) {
    SCOPED_TRACE(users[i]);
    EXPECT_THAT(Groups(ctx, users[i].c_str()), ElementsAre("/h" + std::to_string(i)));
    EXPECT_EQ(MDSAP_IsInGroupTree(ctx, users[i].c_str(), "/x"), 0);
    EXPECT_EQ(MDS_IsUserExist(ctx, users[i].c_str()), 1);
  }
  for (const char* nobody : {"*)(uid=*", "al*", "alice)(|(uid=*", "alice*", "*\\2a", "alice\\"}) {
    SCOPED_TRACE(nobody);
    EXPECT_THAT(Groups(ctx, nobody), IsEmpty());
    EXPECT_EQ(MDSAP_IsInGroupTree(ctx, nobody, "/"), 0);
    EXPECT_EQ(MDS_IsUserExist(ctx, nobody), 0);
  }
  EXPECT_THAT(Groups(ctx, "alice"), ElementsAre("/x"));
  // The group "a,cn=x" is that group, never the group "x".
  EXPECT_THAT(Groups(ctx, "bob"), ElementsAre("/a,cn=x"));
  EXPECT_EQ(MDSAP_IsInGroupTree(ctx, "bob", "/a,cn=x"), 1);
  EXPECT_EQ(MDSAP_IsInGroupTree(ctx, "alice", "/a,cn=x"), 0);
  MdsMemberList members;
  ASSERT_EQ(MDS_GroupUListGet(ctx, "/a,cn=x", &members.items, &members.count), 0);
  EXPECT_THAT(Firsts(members), ElementsAre("bob"));
  MdsGroupInfoRecord none;
  EXPECT_EQ(MDS_GroupInfoGet(ctx, "/a", &none.rec), kMdsNoGroup);
  // Group names of every kind are made, listed and read back as given.
  const std::vector<std::string> names = {
      "a,cn=x2", " lead", "trail ", "#h",          "x=y+z",
      "q\"u;<>", "*",     "(",      "back\\slash", "\xc3\xa9t\xc3\xa9"};
  for (const std::string& name : names) {
    EXPECT_EQ(Create(ctx, ("/x/" + name).c_str()), 0) << name;
    EXPECT_EQ(MDS_GroupUserCreate(ctx, ("/x/" + name).c_str(), "bob"), 0) << name;
  }
  MdsStringList children;
  ASSERT_EQ(MDS_GroupGListGet(ctx, "/x", &children.items, &children.count), 0);
  std::vector<std::string> want;
  for (const std::string& name : names) want.push_back("/x/" + name);
  std::sort(want.begin(), want.end());
  EXPECT_THAT(Strings(children), ElementsAreArray(want));
  EXPECT_EQ(MDSAP_IsInGroupTree(ctx, "bob", "/x"), 1);
  EXPECT_EQ(MDSAP_IsInGroupTree(ctx, "bob", "/x/*"), 1);
  EXPECT_EQ(MDSAP_IsInGroupTree(ctx, "alice", "/x/*"), 0);
  // Names that no path can carry are refused before any request.
  for (const char* bad : {"/x/a\nb", "/x//y", "x"}) EXPECT_EQ(Create(ctx, bad), kMdsNoGroup) << bad;
}

// A group check costs two searches however deep the group lies.
TEST_F(LdapBackend, GroupTreeCheckMakesTwoSearches) {
  std::string deep;
  for (int i = 1; i <= 8; ++i) deep += "/level" + std::to_string(i);
  ASSERT_TRUE(
      tree.Load({"--user", "alice", "--member", deep, "alice", "--member", "/other", "alice"}));
  auto dir = Open("debug = yes\n");
  ASSERT_TRUE(dir->ok());
  for (const std::string& group :
       {std::string("/level1"), deep, std::string("/"), std::string("/level1/level2x")}) {
    std::size_t before = LoadLog().size();
    int want = group == "/level1/level2x" ? 0 : 1;
    EXPECT_EQ(MDSAP_IsInGroupTree(dir->get(), "alice", group.c_str()), want) << group;
    std::string lines = LoadLog().substr(before);
    const std::regex search(": search [0-9]+ base");
    std::ptrdiff_t searches = std::distance(
        std::sregex_iterator(lines.begin(), lines.end(), search), std::sregex_iterator());
    EXPECT_EQ(searches, 2) << lines;
  }
}

// A listening socket that never answers: connections succeed, requests
// wait for ever.
class SilentServer {
 public:
  SilentServer() : fd_(testing_support::ListenOnLoopback(port_)) {}
  ~SilentServer() { close(fd_); }
  std::string Uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }

 private:
  int port_ = 0;  // set by the listener, so before it
  int fd_;
};

// A free port nothing listens on.
std::string ClosedUri() {
  SilentServer gone;
  return gone.Uri();  // closed when `gone` goes
}

TEST_F(LdapBackend, ServerDownOrSilentFailsWithinTheTimeout) {
  ASSERT_TRUE(tree.Load({"--user", "alice", "--member", "/Staff", "alice"}));
  SilentServer silent;
  const std::string closed = ClosedUri();
  struct Row {
    const char* name;
    std::string uri;
  } rows[] = {{"nothing listens", closed}, {"never answers", silent.Uri()}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto dir = Open("uri = " + r.uri + "\ntimeout = 1\n");
    ASSERT_TRUE(dir->ok()) << LoadLog();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MDSAP_IsInGroupTree(dir->get(), "alice", "/Staff"), -1);
    EXPECT_EQ(MDSAP_IsGroupAdmin(dir->get(), "alice", "/Staff", "300"), -1);
    EXPECT_EQ(MDS_IsUserExist(dir->get(), "alice"), -1);
    EXPECT_EQ(MDS_GroupIsAdm(dir->get(), "alice"), -1);
    MdsStringList list;
    EXPECT_EQ(MDS_GroupGListGet(dir->get(), "/", &list.items, &list.count), kMdsFileError);
    // One timeout at most for the whole context: later calls know.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_THAT(LoadLog(), HasSubstr(r.uri));
  }
  // A server down in front of a working one: the next one answers.
  auto dir = Open("uri = " + closed + " " + TestLdapServer().uri + "\n");
  ASSERT_TRUE(dir->ok());
  EXPECT_EQ(MDSAP_IsInGroupTree(dir->get(), "alice", "/Staff"), 1);
  EXPECT_THAT(LoadLog(), Not(HasSubstr(ReadText(TestLdapServer().bindpw))));
}

TEST_F(LdapBackend, TlsChecksTheCertificateByDefault) {
  ASSERT_TRUE(tree.Load({"--user", "alice", "--member", "/Staff", "alice"}));
  const std::string ldaps = TestLdapServer().ldaps_uri;
  struct Row {
    const char* name;
    std::string extra;
    int want;
  } rows[] = {
      {"StartTLS, CA given", "", 1},
      {"StartTLS, CA not trusted", "tls_cacert = /dev/null\n", -1},
      {"ldaps, CA given", "uri = " + ldaps + "\n", 1},
      {"ldaps, CA not trusted", "uri = " + ldaps + "\ntls_cacert = /dev/null\n", -1},
      {"checking turned off", "tls_cacert = /dev/null\ntls_verify = never\n", 1},
      {"no TLS at all", "starttls = no\n", 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto dir = Open(r.extra);
    ASSERT_TRUE(dir->ok()) << LoadLog();
    EXPECT_EQ(MDSAP_IsInGroupTree(dir->get(), "alice", "/Staff"), r.want) << LoadLog();
  }
}

TEST_F(LdapBackend, BadSettingsFailTheContext) {
  const std::string password = ReadText(TestLdapServer().bindpw);
  struct Row {
    const char* name;
    std::string extra;
    mode_t bindpw_mode;
    const char* logged;
  } rows[] = {
      {"password file readable by the group", "", 0640, "etc/bindpw refused"},
      {"password file readable by all", "", 0644, "etc/bindpw refused"},
      {"unknown key", "colour = blue\n", 0600, "unknown key \"colour\""},
      {"missing password file", "bindpw_file = etc/none\n", 0600, "etc/none"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto dir = Open(r.extra, r.bindpw_mode);
    EXPECT_FALSE(dir->ok());
    EXPECT_THAT(LoadLog(), HasSubstr(r.logged));
  }
  root.Write("etc/mds.conf",
             "preloadlib = " + Lib("libmds_ldap.so") + "\nbackendconf = etc/missing.conf\n");
  MdsSession missing(root.Path("etc/mds.conf").c_str(), nullptr);
  EXPECT_FALSE(missing.ok());
  EXPECT_THAT(LoadLog(),
              HasSubstr("MDS_Init: MDS_Configure(" + root.Path("etc/missing.conf") + ")=1"));
  // A bind refused: the operation fails, the log names the server, never
  // the password.
  auto wrong = Open("binddn = cn=nobody,dc=example,dc=org\n");
  ASSERT_TRUE(wrong->ok());
  MdsStringList list;
  EXPECT_EQ(MDS_UserGListGet(wrong->get(), "alice", &list.items, &list.count), kMdsFileError);
  EXPECT_THAT(LoadLog(), HasSubstr("Invalid credentials"));
  EXPECT_THAT(LoadLog(), Not(HasSubstr(password)));
}

}  // namespace
