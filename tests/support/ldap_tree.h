// The suite's LDAP server (scripts/slapd.sh, started once for all tests by
// the CTest fixture "slapd" in the build folder's slapd/) and a subtree of
// it for each test, so that tests running at once never meet.
#pragma once

#include <string>
#include <vector>

#include "support/test_root.h"

namespace testing_support {

struct LdapServer {
  std::string uri;        // ldap://127.0.0.1:PORT (StartTLS offered)
  std::string ldaps_uri;  // ldaps://127.0.0.1:PORT
  std::string ca;         // the CA file that signed the server's certificate
  std::string bindpw;     // file holding the root DN's password
  std::string rootdn;
};

// The running server; empty URIs when the fixture did not start one.
const LdapServer& TestLdapServer();

// ou=<unique>,dc=example,dc=org with ou=people and ou=groups below it.
class LdapTree {
 public:
  LdapTree();
  const std::string& dn() const { return dn_; }
  std::string people() const { return "ou=people," + dn_; }
  std::string groups() const { return "ou=groups," + dn_; }

  // Adds what scripts/ldif-directory.py makes of `args` (--user, --group,
  // --member, --owner ...) below this tree. False when ldapadd failed.
  bool Load(const std::vector<std::string>& args) const;

  // The back end's settings for this tree: uri, StartTLS with the server's
  // CA, the root DN with its password copied to <root>/etc/bindpw (0600),
  // the bases; then `extra` lines. Written to <root>/<name>.
  void WriteSettings(const TestRoot& root, const std::string& extra = "",
                     const std::string& name = "etc/mds_ldap.conf") const;
  // etc/mds.conf that loads the LDAP back end with etc/mds_ldap.conf.
  void WriteMdsConf(const TestRoot& root) const;

 private:
  std::string dn_;
};

}  // namespace testing_support
