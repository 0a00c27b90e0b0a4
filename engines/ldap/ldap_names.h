// Names between the directory service and an LDAP directory: values escaped
// for DNs (RFC 4514) and search filters (RFC 4515), group name paths and the
// DNs of the group tree, user DNs and user ids. Pure functions: no
// connection, no state.
//
// The group tree is the DN hierarchy below the group base: "/" is the base
// entry itself, /Sales/East is <name>=East,<name>=Sales,<group base>, where
// <name> is the naming attribute of groups ("cn").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mds_ldap {

// RFC 4514 section 2.4: a value as it stands in a DN. "," "+" "\"" "\\" "<"
// ">" ";" and "=" are escaped with a backslash, so are "#" and " " at the
// start and " " at the end; control bytes and NUL become \XX. Other bytes
// (UTF-8 included) stay.
std::string EscapeDnValue(std::string_view value);

// RFC 4515 section 3: a value as it stands in a filter's assertion: "*" "("
// ")" "\\" and NUL become \2a \28 \29 \5c \00. The result can never end an
// item or add one.
std::string EscapeFilterValue(std::string_view value);

// The names of a group path: "/" gives none; "/Sales/East" and
// "/Sales/East/" give {"Sales", "East"}. nullopt for a path that does not
// start with "/", has an empty name ("//") or a name with a control byte.
std::optional<std::vector<std::string>> SplitGroupPath(std::string_view path);

// The DN of a group path below `group_base` (nullopt as SplitGroupPath).
std::optional<std::string> GroupDn(std::string_view path, std::string_view naming_attr,
                                   std::string_view group_base);

// The group path of a DN read from the server, parsed RDN by RDN (never cut
// as text): the DN must end with `group_base` (attribute types and values
// compared without regard to ASCII case) and every RDN above it must be one
// `naming_attr`=value whose value holds no "/", "@" or control byte.
// nullopt for any other DN (outside the tree, or not a name we can hand on).
std::optional<std::string> GroupPathOfDn(std::string_view dn, std::string_view naming_attr,
                                         std::string_view group_base);

// The value of the first RDN when it is one `attr`=value ("uid=bob,ou=people"
// gives "bob" for "uid"); nullopt otherwise or for a DN that does not parse.
std::optional<std::string> FirstRdnValue(std::string_view dn, std::string_view attr);

// True when two DNs name the same entry, compared RDN by RDN as
// GroupPathOfDn compares the base; false when either does not parse.
bool SameDn(std::string_view a, std::string_view b);

}  // namespace mds_ldap
