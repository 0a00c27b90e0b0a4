#include "support/ldap_tree.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace testing_support {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string Quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

const LdapServer& TestLdapServer() {
  static const LdapServer server = [] {
    LdapServer s;
    std::string dir = AD_SLAPD_DIR;
    s.uri = ReadFile(dir + "/uri");
    s.ldaps_uri = ReadFile(dir + "/ldaps_uri");
    s.ca = dir + "/ca.pem";
    s.bindpw = dir + "/bindpw";
    s.rootdn = "cn=admin,dc=example,dc=org";
    return s;
  }();
  return server;
}

LdapTree::LdapTree() {
  static std::atomic<int> counter{0};
  dn_ = "ou=t" + std::to_string(getpid()) + "x" + std::to_string(std::time(nullptr)) + "x" +
        std::to_string(++counter) + ",dc=example,dc=org";
  Load({});
}

bool LdapTree::Load(const std::vector<std::string>& args) const {
  const LdapServer& s = TestLdapServer();
  if (s.uri.empty()) return false;
  std::string command = std::string("python3 ") + AD_SOURCE_DIR + "/scripts/ldif-directory.py" +
                        " --people " + Quote(people()) + " --groups " + Quote(groups());
  if (args.empty()) {
    command += " --ou " + Quote(dn_) + " --ou " + Quote(people()) + " --ou " + Quote(groups());
  }
  for (const std::string& a : args) command += " " + Quote(a);
  command += " | ldapadd -x -H " + Quote(s.uri) + " -D " + Quote(s.rootdn) + " -y " +
             Quote(s.bindpw) + " >/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void LdapTree::WriteSettings(const TestRoot& root, const std::string& extra,
                             const std::string& name) const {
  const LdapServer& s = TestLdapServer();
  root.Write("etc/bindpw", ReadFile(s.bindpw));
  chmod(root.Path("etc/bindpw").c_str(), 0600);
  root.Write(name, "uri = " + s.uri + "\ntls_cacert = " + s.ca + "\nbinddn = " + s.rootdn +
                       "\nbindpw_file = etc/bindpw\nuser_base = " + people() +
                       "\ngroup_base = " + groups() + "\ntimeout = 5\n" + extra);
}

void LdapTree::WriteMdsConf(const TestRoot& root) const {
  WriteSettings(root);
  root.Write("etc/mds.conf", std::string("preloadlib = ") + AD_LIB_DIR +
                                 "/libmds_ldap.so\nbackendconf = etc/mds_ldap.conf\n");
}

}  // namespace testing_support
