// attachtool dir through both back ends: the built-in group store and the
// LDAP back end against the suite's slapd. The same scenarios run on each;
// where a back end answers otherwise by design, the row holds both answers.
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/ldap_tree.h"
#include "support/test_root.h"
#include "support/tool_run.h"

using testing_support::LdapTree;
using testing_support::RunAttachtool;
using testing_support::TestRoot;
using testing_support::ToolRun;
using testing_support::Visible;

namespace {

enum class Backend { kBuiltin, kLdap };

// One call and its output without the "close" line; `ldap` when the LDAP
// back end answers otherwise. "{time}" in an expectation stands for any
// number of seconds.
struct Row {
  std::vector<std::string> args;
  std::string want;
  std::optional<std::string> ldap = std::nullopt;
};

std::string Nulls(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += "\t(null)";
  return out;
}

class DirBackends : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    for (const char* u : {"alice", "bob", "carol", "dave", "list"}) root.AddUser(u);
    if (ldap()) {
      ASSERT_TRUE(tree.Load({"--user", "alice:Alice:Smith", "--user", "bob", "--user", "carol",
                             "--user", "dave", "--user", "list"}));
      tree.WriteMdsConf(root);
    }
  }
  bool ldap() const { return GetParam() == Backend::kLdap; }

  ToolRun Dir(const std::vector<std::string>& args) {
    std::vector<std::string> all{"dir", "--conf", root.Path("etc/mds.conf")};
    all.insert(all.end(), args.begin(), args.end());
    return RunAttachtool(root, all);
  }

  void Run(const std::vector<Row>& rows) {
    // The built-in table answers MDS_Shutdown with 6, the LDAP back end 0.
    const std::string close = ldap() ? "close\t0\n" : "close\t6\n";
    for (const Row& r : rows) {
      std::string want = (ldap() && r.ldap ? *r.ldap : r.want) + close;
      std::string pattern;
      for (std::size_t at = 0; at < want.size();) {
        std::size_t mark = want.find("{time}", at);
        std::string plain = want.substr(at, mark - at);
        for (char c : plain) {
          if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
          pattern += c;
        }
        if (mark == std::string::npos) break;
        pattern += "[0-9]+";
        at = mark + 6;
      }
      ToolRun run = Dir(r.args);
      std::string trace = r.args[0] + (r.args.size() > 1 ? " " + r.args[1] : "");
      EXPECT_TRUE(std::regex_match(run.out, std::regex(pattern)))
          << trace << "\n got: " << Visible(run.out) << "\nwant: " << Visible(want) << "\n"
          << run.err << root.Read("log/mds.log");
      EXPECT_EQ(run.status, want.starts_with("result\t0\n") ? 0 : 1) << trace;
    }
  }

  TestRoot root;
  LdapTree tree;
};

TEST_P(DirBackends, GroupsMembersAndAdministrators) {
  const std::string empty = Nulls(7) + "\n";
  Run({
      {{"GroupCreate", "/Sales"}, "result\t0\n/Sales" + empty},
      {{"GroupCreate", "/Sales/East"}, "result\t0\n/Sales/East" + empty},
      {{"GroupCreate", "/Sales/EastCoast"}, "result\t0\n/Sales/EastCoast" + empty},
      {{"GroupCreate", "/Marketing"}, "result\t0\n/Marketing" + empty},
      {{"GroupCreate", "/Sales"}, "result\t3\n/Sales" + empty},
      {{"GroupCreate", "/Nope/Sub"}, "result\t5\n/Nope/Sub" + empty},
      {{"GroupCreate", "/"}, "result\t5\n/" + empty},
      // The built-in store lists in creation order, LDAP by name.
      {{"GroupGListGet", "/"},
       "result\t0\n/Sales\n/Marketing\n",
       "result\t0\n/Marketing\n/Sales\n"},
      {{"GroupGListGet", "/Sales"}, "result\t0\n/Sales/East\n/Sales/EastCoast\n"},
      {{"GroupGListGet", "/Nope"}, "result\t5\n"},
      {{"GroupUserCreate", "/Sales/East", "alice"}, "result\t0\n"},
      {{"GroupUserCreate", "/Sales/East", "alice"}, "result\t3\n"},
      {{"GroupUserCreate", "/Nope", "alice"}, "result\t5\n"},
      {{"GroupUListGet", "/Sales/East"}, "result\t0\nalice\t(null)\n"},
      {{"UserGListGet", "alice"}, "result\t0\n/Sales/East\n"},
      {{"MDSAP_IsInGroupTree", "alice", "/Sales"}, "result\t1\n"},
      {{"MDSAP_IsInGroupTree", "alice", "/Sales/East"}, "result\t1\n"},
      {{"MDSAP_IsInGroupTree", "alice", "/"}, "result\t1\n"},
      {{"MDSAP_IsInGroupTree", "alice", "/Sal"}, "result\t0\n"},
      {{"MDSAP_IsInGroupTree", "alice", "/Sales/EastCoast"}, "result\t0\n"},
      {{"MDSAP_IsInGroupTree", "bob", "/Sales"}, "result\t0\n"},
      // A hostile id grants nothing: refused by the store, found by no filter.
      {{"MDSAP_IsInGroupTree", "*)(uid=*", "/Sales"}, "result\t-1\n", "result\t0\n"},
      {{"GroupIsAdm", "bob"}, "result\t0\n"},
      {{"GroupAdmCreate", "/Sales", "bob"}, "result\t0\n"},
      {{"GroupAdmCreate", "/Sales", "bob"}, "result\t0\n"},
      {{"GroupAListGet", "/Sales"}, "result\t0\nbob\t(null)\n"},
      {{"GroupAListGet", "/"}, "result\t0\n"},
      {{"GroupIsAdm", "bob"}, "result\t2\n"},
      {{"MDSAP_IsGroupAdmin", "bob", "/Sales/East", "300"}, "result\t1\n"},
      {{"MDSAP_IsGroupAdmin", "bob", "/Sales/East/", "300"}, "result\t1\n"},
      {{"MDSAP_IsGroupAdmin", "bob", "/Marketing", "300"}, "result\t0\n"},
      {{"MDSAP_IsGroupAdmin", "alice", "/Sales", "300"}, "result\t0\n"},
      {{"GroupDelete", "/Sales"}, "result\t4\n"},
      {{"GroupDelete", "/Nope"}, "result\t5\n"},
      {{"GroupRename", "/Sales/EastCoast", "(null)", "East"}, "result\t3\n"},
      {{"GroupRename", "/Sales/EastCoast", "/Marketing", "(null)"}, "result\t0\n"},
      {{"GroupRename", "/Marketing/EastCoast", "(null)", "Coast"}, "result\t0\n"},
      {{"GroupGListGet", "/Marketing"}, "result\t0\n/Marketing/Coast\n"},
      {{"GroupGListGet", "/Sales"}, "result\t0\n/Sales/East\n"},
      {{"GroupUserMove", "alice", "/Sales/East", "/Marketing"}, "result\t0\n"},
      {{"UserGListGet", "alice"}, "result\t0\n/Marketing\n"},
      {{"GroupUserDelete", "/Marketing", "alice"}, "result\t0\n"},
      {{"GroupUserDelete", "/Marketing", "alice"}, "result\t0\n"},
      {{"GroupUListGet", "/Marketing"}, "result\t0\n"},
      {{"UserGListGet", "alice"}, "result\t0\n"},
      {{"GroupAdmDelete", "/Sales", "bob"}, "result\t0\n"},
      {{"GroupAListGet", "/Sales"}, "result\t0\n"},
      {{"GroupDelete", "/Marketing/Coast"}, "result\t0\n"},
      {{"GroupInfoGet", "/Marketing/Coast"}, "result\t5\n"},
      {{"GroupInfoGet", "/"}, "result\t0\n/" + empty},
  });
}

TEST_P(DirBackends, RecordsUsersAndApplicationFunctions) {
  Run({
      {{"GroupCreate", "/Fields", "list", "back\\slash", "3", "t7", "1000", "t6", "9"},
       "result\t0\n/Fields\tlist\tback\\\\slash\t3\tt7\t1000\tt6\t9\n"},
      // The standard group class holds only the description; the creation
      // time is the server's.
      {{"GroupInfoGet", "/Fields"},
       "result\t0\n/Fields\tlist\tback\\\\slash\t3\tt7\t1000\tt6\t9\n",
       "result\t0\n/Fields\t\tback\\\\slash\t0\t\t{time}\t0\t0\n"},
      {{"GroupGInfoListGet", "/"},
       "result\t0\n/Fields\tlist\tback\\\\slash\t3\tt7\t1000\tt6\t9\n",
       "result\t0\n/Fields\t\tback\\\\slash\t0\t\t{time}\t0\t0\n"},
      {{"MDSAP_FindGroupIDByFwd", "/", "list"},
       "result\t1\n/Fields\n",
       "result\t0\n"},  // the mailing account is not stored by default
      {{"GroupInfoUpdate", "/Fields", "(null)", "new text"},
       "result\t0\n/Fields\t(null)\tnew text" + Nulls(5) + "\n"},
      // The store keeps the empty field 7 an update wrote; LDAP reads its
      // default.
      {{"GroupInfoGet", "/Fields"},
       "result\t0\n/Fields\t\tnew text\t0\t\t0\t\t0\n",
       "result\t0\n/Fields\t\tnew text\t0\t\t{time}\t0\t0\n"},
      {{"MDSAP_DefaultGroup"}, "result\t0\n/UNCATEGORIZED\n"},
      {{"GroupInfoGet", "/UNCATEGORIZED"},
       "result\t0\n/UNCATEGORIZED\t\t\t0\t\t{time}\t\t0\n",
       "result\t0\n/UNCATEGORIZED\t\t\t0\t\t{time}\t0\t0\n"},
      {{"MDSAP_GroupUserCreate", "/Fields", "carol"}, "result\t0\n"},
      {{"MDSAP_FindGroupID", "/", "elds"}, "result\t0\n/Fields\n"},
      {{"MDSAP_FindGroupID2", "/", "Fields/Nope"}, "result\t0\n/\n\n"},
      {{"IsUserExist", "carol"}, "result\t1\n"},
      {{"IsUserExist", "dave"}, "result\t0\n", "result\t1\n"},  // an entry, even in no group
      {{"IsUserExist", "nobody"}, "result\t0\n"},
      {{"UserSearch", "AR"}, "result\t0\ncarol\t/Fields\n"},
      {{"UserPassGet", "carol"}, "result\t0\ncarol:0:*\n", "result\t6\n"},
      {{"UserInfoUpdate", "UID=alice", "UOCC=Engineer"}, "result\t6\n", "result\t0\n"},
      // The store has no .userinfo for alice; the LDAP entry took the whole
      // record: fields left empty lost their attributes (sn is required).
      {{"UserInfoGet", "alice"},
       "result\t2\n",
       "result\t0\nalice\t(null)\tSmith" + Nulls(3) + "\tEngineer" + Nulls(32) + "\n"},
      {{"Shutdown"}, "result\t6\n", "result\t0\n"},
  });
  if (!ldap()) return;
  // What the LDAP back end alone holds: users as entries.
  Run({
      {{"UserCreate", "erin", "pw", "/Fields", "UNAME=Erin", "ULNAME=Ek", "UMEMO=a\nb"},
       "result\t0\n"},
      {{"UserCreate", "erin", "pw", "/Fields"}, "result\t3\n"},
      {{"UserCreate", "fred", "pw", "/Nope"}, "result\t5\n"},
      {{"IsUserExist", "fred"}, "result\t0\n"},  // the failed creation left nothing
      {{"UserGListGet", "erin"}, "result\t0\n/Fields\n"},
      {{"UserInfoGet", "erin"},
       "result\t0\nerin\tErin\tEk" + Nulls(8) + "\ta\\nb" + Nulls(27) + "\n"},
      {{"UserPassUpdate", "erin", "other", "1"}, "result\t0\n"},
      {{"UserPassUpdate", "erin", "erin:0:x", "0"}, "result\t6\n"},
      {{"UserDelete", "erin"}, "result\t0\n"},
      {{"GroupUListGet", "/Fields"}, "result\t0\ncarol\t(null)\n"},
      {{"UserDelete", "erin"}, "result\t5\n"},
  });
}

INSTANTIATE_TEST_SUITE_P(Both, DirBackends, ::testing::Values(Backend::kBuiltin, Backend::kLdap),
                         [](const auto& info) {
                           return info.param == Backend::kLdap ? "Ldap" : "Builtin";
                         });

}  // namespace
