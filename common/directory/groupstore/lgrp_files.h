// The list files of the group store: reading them, their lines, and rewriting
// them under lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/directory/groupstore/lgrp.h"
#include "host/files/locked_rewrite.h"

// Reads a list file whole (without following a symbolic link). 0 with the
// text; 0 with no text for a missing file; 2 for any other error, a file over
// kLgrpFileMax among them.
int LgrpReadFile(const std::string& path, std::string& text);

// The lines of a text without their newlines; a last line without one is a
// line all the same (only a newline is ever cut).
std::vector<std::string_view> LgrpLines(std::string_view text);

// The TAB-separated fields of a Group.list line; none for a line over
// kLgrpLineMax.
std::vector<std::string_view> LgrpFields(std::string_view line);

// A Group.list line of at least five fields with a number of 1 to 8 hex
// digits as a record of the group `parent`. Missing trailing fields take
// their defaults; fields longer than their width are cut.
bool LgrpParseGroupLine(std::string_view line, std::string_view parent, LGRP_Group& out);

// The Group.list line of a record ("%x\t%s\t...\n"), its number taken from
// its id.
std::string LgrpFormatLine(const LGRP_Group& record);

// The user ids of a user.list or admin.list text: non-empty lines of at most
// kLgrpUserIdMax bytes without control bytes (a NUL among them).
std::vector<std::string> LgrpUserLines(std::string_view text);

// Rewrites <dir>/<file> under its lock through "<dir>/<prefix><time><pid>"
// (see LockedRewrite).
RewriteResult LgrpRewrite(const std::string& dir, const char* file, const char* prefix, bool create,
                          const std::function<bool(std::string&)>& change);

// Makes the folders of the tree down to the group's (mode 0770; errors are
// left to the next step). False when the domain of a multi-domain tree has no
// folder.
bool LgrpMakeTree(std::string_view group);

// A user's Group.list path; the id must be well-formed.
std::string LgrpUserListPath(std::string_view user);

// True for an id that may name a user's files: well-formed (letters, digits,
// "._+@-", not starting with ".", at most 127 bytes).
bool LgrpUserOk(std::string_view user);
