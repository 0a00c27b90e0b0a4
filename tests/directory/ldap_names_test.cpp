// The LDAP back end's names: escaping for DNs and filters, group paths and
// DNs both ways, and its configuration file with the password file's rules.
#include <ldap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engines/ldap/ldap_names.h"
#include "engines/ldap/ldap_settings.h"
#include "support/test_root.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::TestRoot;
using testing_support::Visible;
using namespace mds_ldap;

namespace {

constexpr char kBase[] = "ou=groups,dc=example,dc=org";

TEST(LdapNames, Escaping) {
  struct Row {
    std::string value, dn, filter;
  } rows[] = {
      {"plain", "plain", "plain"},
      {"*)(uid=*", "*)(uid\\=*", "\\2a\\29\\28uid=\\2a"},
      {"a,cn=x", "a\\,cn\\=x", "a,cn=x"},
      {"back\\slash", "back\\\\slash", "back\\5cslash"},
      {" lead and trail ", "\\ lead and trail\\ ", " lead and trail "},
      {"#first#", "\\#first#", "#first#"},
      {"a+b;c<d>e\"f", "a\\+b\\;c\\<d\\>e\\\"f", "a+b;c<d>e\"f"},
      {std::string("nul\0x", 5), "nul\\00x", "nul\\00x"},
      {"line\nbreak", "line\\0abreak", "line\nbreak"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"", "", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(Visible(r.value));
    EXPECT_EQ(EscapeDnValue(r.value), r.dn);
    EXPECT_EQ(EscapeFilterValue(r.value), r.filter);
  }
}

// Every value makes a DN that parses back to the same value, and a filter
// value that holds no unescaped "*", "(", ")" or "\".
TEST(LdapNames, EscapedValuesRoundTrip) {
  std::vector<std::string> values = {"a,cn=x",
                                     " x ",
                                     "#",
                                     "\\",
                                     "*)(|(uid=*))",
                                     "=+<>;\"",
                                     "\x01\x1f\x7f",
                                     "\xe6\x97\xa5\xe6\x9c\xac"};
  for (int c = 1; c < 256; ++c) values.push_back(std::string("a") + static_cast<char>(c) + "b");
  for (const std::string& v : values) {
    SCOPED_TRACE(Visible(v));
    std::string dn = "cn=" + EscapeDnValue(v) + "," + kBase;
    EXPECT_EQ(FirstRdnValue(dn, "cn"), v);
    std::string f = EscapeFilterValue(v);
    for (std::size_t i = 0; i < f.size(); ++i) {
      EXPECT_EQ(std::string("*()").find(f[i]), std::string::npos) << f;
      if (f[i] == '\\') EXPECT_TRUE(isxdigit(f[i + 1]) && isxdigit(f[i + 2])) << f;
    }
  }
}

TEST(LdapNames, GroupPathsAndDns) {
  struct Row {
    const char* path;
    std::optional<std::string> dn;
  } rows[] = {
      {"/", std::string(kBase)},
      {"/Sales", std::string("cn=Sales,") + kBase},
      {"/Sales/East", std::string("cn=East,cn=Sales,") + kBase},
      {"/Sales/East/", std::string("cn=East,cn=Sales,") + kBase},
      {"/a,cn=x", std::string("cn=a\\,cn\\=x,") + kBase},
      {"/ x/y ", std::string("cn=y\\ ,cn=\\ x,") + kBase},
      {"Sales", std::nullopt},
      {"", std::nullopt},
      {"//x", std::nullopt},
      {"/a//b", std::nullopt},
      {"/a\nb", std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(Visible(r.path));
    std::optional<std::string> dn = GroupDn(r.path, "cn", kBase);
    EXPECT_EQ(dn, r.dn);
    if (dn) {
      std::string path = r.path;
      if (path.size() > 1 && path.back() == '/') path.pop_back();
      EXPECT_EQ(GroupPathOfDn(*dn, "cn", kBase), path);
    }
  }
}

// DNs read back from a server: parsed, never cut as text.
TEST(LdapNames, DnsReadBack) {
  struct Row {
    const char* dn;
    std::optional<std::string> path;
  } rows[] = {
      {"cn=East,cn=Sales,ou=groups,dc=example,dc=org", "/Sales/East"},
      {"CN=East,CN=Sales,OU=Groups,DC=Example,DC=org", "/Sales/East"},  // case of the base
      {"cn=a\\2Ccn\\3Dx,ou=groups,dc=example,dc=org", "/a,cn=x"},       // hex escapes
      {"cn = East , ou=groups,dc=example,dc=org", "/East"},
      {"ou=groups,dc=example,dc=org", "/"},
      {"cn=x,ou=groups,dc=example,dc=net", std::nullopt},  // other base
      {"cn=x,ou=groupsX,dc=example,dc=org", std::nullopt},
      {"cn=x,dc=example,dc=org", std::nullopt},                 // above the base
      {"ou=East,ou=groups,dc=example,dc=org", std::nullopt},    // not the naming attribute
      {"cn=a+sn=b,ou=groups,dc=example,dc=org", std::nullopt},  // multi-valued RDN
      {"cn=a/b,ou=groups,dc=example,dc=org", std::nullopt},     // no path can name it
      {"cn=a@b,ou=groups,dc=example,dc=org", std::nullopt},
      {"cn=a\\0Ab,ou=groups,dc=example,dc=org", std::nullopt},
      {"cn=#04024869,ou=groups,dc=example,dc=org", std::nullopt},  // a BER value
      {"cn=x,ou=groups,dc=example,dc=org,", std::nullopt},         // does not parse
      {"not a dn", std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.dn);
    EXPECT_EQ(GroupPathOfDn(r.dn, "cn", kBase), r.path);
  }
  EXPECT_EQ(FirstRdnValue("uid=bob,ou=people,dc=x", "UID"), "bob");
  EXPECT_EQ(FirstRdnValue("cn=bob,ou=people,dc=x", "uid"), std::nullopt);
  EXPECT_TRUE(SameDn("OU=Groups, dc=Example", "ou=groups,dc=example"));
  EXPECT_FALSE(SameDn("ou=groups,dc=example", "ou=groups"));
}

TEST(LdapSettings, KeysDefaultsAndRefusals) {
  const std::string base = "uri = ldap://a ldaps://b\nuser_base = ou=p\ngroup_base = ou=g\n";
  Settings s;
  std::string why;
  ASSERT_TRUE(ParseSettings(base, s, why)) << why;
  EXPECT_THAT(s.uris, ::testing::ElementsAre("ldap://a", "ldaps://b"));
  EXPECT_TRUE(s.starttls);
  EXPECT_EQ(s.tls_verify, LDAP_OPT_X_TLS_DEMAND);
  EXPECT_EQ(s.group_class, "groupOfNames");
  EXPECT_EQ(s.member, "member");
  EXPECT_EQ(s.admin, "owner");
  EXPECT_EQ(s.user_attrs[1], "givenName");
  EXPECT_EQ(s.group_attrs[2], "description");
  EXPECT_EQ(s.group_attrs[1], "");
  Settings t;
  ASSERT_TRUE(ParseSettings(base + "group_class = groupOfUniqueNames\nmember = uniqueMember\n"
                                   "userinfo.UNAME = cn\nuserinfo.UMEMO =\nstarttls = no\n"
                                   "group_account = mail\ntimeout = 2\n",
                            t, why))
      << why;
  EXPECT_EQ(t.member, "uniqueMember");
  EXPECT_EQ(t.user_attrs[1], "cn");
  EXPECT_EQ(t.user_attrs[11], "");
  EXPECT_FALSE(t.starttls);
  EXPECT_EQ(t.group_attrs[1], "mail");
  EXPECT_EQ(t.timeout, 2);
  const char* bad[] = {
      "user_base = ou=p\ngroup_base = ou=g\n",                  // no uri
      "uri = http://a\nuser_base = ou=p\ngroup_base = ou=g\n",  // not LDAP
      "uri = ldap://a\ngroup_base = ou=g\n",                    // no user base
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\nmember = member)(x\n",
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\nstarttls = perhaps\n",
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\ntimeout = 0\n",
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\nuserinfo.NOPE = x\n",
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\nbindpw = secret\n",  // unknown key
      "uri = ldap://a\nuser_base = ou=p\ngroup_base = ou=g\nuser_id =\n",
  };
  for (const char* text : bad) {
    Settings u;
    std::string reason;
    EXPECT_FALSE(ParseSettings(text, u, reason)) << text;
    EXPECT_NE(reason, "");
    EXPECT_THAT(reason, Not(HasSubstr("secret")));
  }
}

TEST(LdapSettings, PasswordFileOnlyWhenPrivate) {
  TestRoot root;
  root.Write("etc/pw", "s3cret\nsecond line\n");
  std::string path = root.Path("etc/pw");
  symlink(path.c_str(), root.Path("etc/link").c_str());
  struct Row {
    const char* name;
    const char* file;
    mode_t mode;
    bool ok;
  } rows[] = {
      {"owner only", "etc/pw", 0600, true},      {"read only", "etc/pw", 0400, true},
      {"group may read", "etc/pw", 0640, false}, {"others may read", "etc/pw", 0604, false},
      {"a link", "etc/link", 0600, false},       {"missing", "etc/none", 0600, false},
      {"a folder", "etc", 0700, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    chmod(root.Path(r.file).c_str(), r.mode);
    std::string pw, why;
    EXPECT_EQ(ReadBindPassword(root.Path(r.file), pw, why), r.ok) << why;
    if (r.ok) {
      EXPECT_EQ(pw, "s3cret");
    } else {
      EXPECT_THAT(why, HasSubstr(root.Path(r.file)));
      EXPECT_THAT(why, Not(HasSubstr("s3cret")));
    }
  }
}

}  // namespace
