// What the built-in operations share.
#pragma once

#include <string>
#include <vector>

#include "common/directory/builtin/builtin.h"
#include "common/directory/groupstore/lgrp.h"

namespace mds_builtin {

// True for a user id that is given, not empty and not well-formed: refused
// with 5.
bool BadUser(const char* user);

// A store result as an operation's: a malformed id (-1) is 5.
inline int Code(int lgrp) {
  return lgrp == kLgrpBadId ? kMdsNoGroup : lgrp;
}

// Qualifies `id` with the context's domain and checks it: 0 with the
// qualified id, or 5 for a null id, a control byte, or a domain that is "."
// or ".." or holds "/".
int Qualify(const MDS_Context* ctx, const char* id, std::string& qualified);

// Qualifies and resolves a name path to its number path: 0 or 5.
int Resolve(const MDS_Context* ctx, const char* id, std::string& number);

// The name paths of a group's direct sub-groups (`qualified` is a qualified
// name path): every line of its Group.list with at least three fields. 0, 2
// or 5.
int SubGroupNames(const std::string& qualified, std::vector<std::string>& out);

// The members of a group given by a qualified name path. 0, 2 or 5.
int Members(const std::string& qualified, std::vector<std::string>& out);

}  // namespace mds_builtin
