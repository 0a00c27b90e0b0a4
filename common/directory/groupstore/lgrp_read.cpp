// Reading the group store: sub-group lists, name resolution, members,
// administrators and the users' own lists.
#include <map>

#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/base/strings.h"
#include "host/site/domain_table.h"

namespace {

// Reads <group folder>/<file>. 0, 2, or -1 for a malformed id.
int ReadGroupFile(std::string_view group, const char* file, std::string& text, std::string& path) {
  std::optional<std::string> dir = LGRP_GroupDir(group);
  if (!dir) {
    MdsLog(LgrpLogPath(), "Group id format error (%.*s)", static_cast<int>(group.size()),
           group.data());
    return kLgrpBadId;
  }
  path = *dir + "/" + file;
  return LgrpReadFile(path, text);
}

bool IsRoot(std::string_view id) {
  return LgrpSplit(id).path == "/";
}

// The record of `group` in its parent's list; `who` names the caller in log
// lines. 0 (empty record for the root and unlisted groups) or -1.
int FindInParent(std::string_view group, LGRP_Group& out, const char* who) {
  out = LGRP_Group{};
  if (IsRoot(group)) return kLgrpOk;
  std::string parent, last;
  std::string g(group);
  if (!ParseGroup(group, parent, last)) {
    MdsLog(LgrpLogPath(), "%s()->ParseGroup(%s) error", who, g.c_str());
    return kLgrpBadId;
  }
  std::vector<LGRP_Group> records;
  int r = LGRP_GetGroupFIDs(parent, records);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "%s()->LGRP_GetGroupFIDs(%s)=%d", who, parent.c_str(), r);
    return kLgrpBadId;
  }
  for (LGRP_Group& rec : records) {
    if (rec.id == group) {
      out = std::move(rec);
      break;
    }
  }
  return kLgrpOk;
}

}  // namespace

int LGRP_GetGroupFIDs(std::string_view group, std::vector<LGRP_Group>& out) {
  out.clear();
  std::string text, path;
  int r = ReadGroupFile(group, "Group.list", text, path);
  if (r == kLgrpFileError)
    MdsLog(LgrpLogPath(), "LGRP_GetGroupFIDs()->MFILE_Read(%s) error", path.c_str());
  if (r != kLgrpOk) return r;
  for (std::string_view line : LgrpLines(text)) {
    LGRP_Group rec;
    if (LgrpParseGroupLine(line, group, rec)) out.push_back(std::move(rec));
  }
  return kLgrpOk;
}

int LGRP_ResolveGroupID(std::string_view name_path, std::string& number_path) {
  std::string given(name_path);
  if (name_path.empty() || name_path.front() != '/') {
    MdsLog(LgrpLogPath(), "Group id format error (%s)", given.c_str());
    return kLgrpBadId;
  }
  LgrpSplitId s = LgrpSplit(name_path);
  if (s.path.size() > 1023 || (s.has_domain && !s.domain.empty() && !IsSafeDomainName(s.domain))) {
    MdsLog(LgrpLogPath(), "Group id format error (%s)", given.c_str());
    return kLgrpBadId;
  }
  std::string current(1, '/');
  current += s.Suffix();
  for (std::string_view name : PathParts(s.path)) {
    if (name.size() > kLgrpNameMax) {
      MdsLog(LgrpLogPath(), "Group id format error (%s)", given.c_str());
      return kLgrpBadId;
    }
    std::vector<LGRP_Group> records;
    int r = LGRP_GetGroupFIDs(current, records);
    if (r != kLgrpOk) {
      MdsLog(LgrpLogPath(), "LGRP_GetGroupFIDs() returns %d", r);
      return kLgrpBadId;
    }
    const LGRP_Group* found = nullptr;
    for (const LGRP_Group& rec : records) {
      if (rec.name == name) {
        found = &rec;
        break;
      }
    }
    if (!found) {
      MdsLog(LgrpLogPath(), "No such group '%.*s'", static_cast<int>(name.size()), name.data());
      return kLgrpBadId;
    }
    current = found->id;
  }
  number_path = std::move(current);
  return kLgrpOk;
}

std::optional<std::string> LGRP_GroupPathName(std::string_view number_path) {
  if (!LGRP_GroupDir(number_path)) return std::nullopt;
  LgrpSplitId s = LgrpSplit(number_path);
  std::string current(1, '/');
  current += s.Suffix();
  std::string names;
  for (std::string_view part : PathParts(s.path)) {
    std::vector<LGRP_Group> records;
    if (LGRP_GetGroupFIDs(current, records) != kLgrpOk) return std::nullopt;
    std::string child = LgrpChildId(current, LGRP_GroupNumber(part));
    const LGRP_Group* found = nullptr;
    for (const LGRP_Group& rec : records) {
      if (rec.id == child) {
        found = &rec;
        break;
      }
    }
    // A group its parent does not list is no group the user can be in.
    if (!found || found->name.empty()) return std::nullopt;
    names += '/';
    names += found->name;
    current = std::move(child);
  }
  return names.empty() ? std::string("/") : names;
}

int LGRP_GetGroupInfo(std::string_view group, LGRP_Group& out) {
  return FindInParent(group, out, "LGRP_GetGroupInfo");
}

std::string LGRP_GetGroupName(std::string_view group) {
  LGRP_Group rec;
  if (FindInParent(group, rec, "LGRP_GetGroupName") != kLgrpOk) return {};
  return rec.name;
}

int LGRP_GetGroupLevel(std::string_view group) {
  std::string current(group);
  if (current.empty()) {
    MdsLog(LgrpLogPath(), "LGRP_GetGroupLevel() got GroupID=%s", current.c_str());
    return 0;
  }
  while (true) {
    LGRP_Group rec;
    int r = LGRP_GetGroupInfo(current, rec);
    if (r != kLgrpOk) {
      MdsLog(LgrpLogPath(), "LGRP_GetGroupLevel()->LGRP_GetGroupInfo(%s)=%d", current.c_str(), r);
      return 0;
    }
    if (rec.level != 0) return rec.level;
    if (IsRoot(current)) return 0;
    current = LGRP_ParentID(current);
  }
}

namespace {

int ReadUsers(std::string_view group, const char* file, const char* log_format,
              std::vector<std::string>& out) {
  out.clear();
  std::string text, path;
  int r = ReadGroupFile(group, file, text, path);
  if (r == kLgrpFileError) MdsLog(LgrpLogPath(), log_format, path.c_str());
  if (r != kLgrpOk) return r;
  out = LgrpUserLines(text);
  return kLgrpOk;
}

}  // namespace

int LGRP_GetGroupUser(std::string_view group, std::vector<std::string>& out) {
  return ReadUsers(group, "user.list", "LGRP_GetGroupUser()->MFILE_Read(%s) error", out);
}

int LGRP_GetGroupAdm(std::string_view group, std::vector<std::string>& out) {
  // Rewrites go through a rename, so the file is read whole without a lock.
  return ReadUsers(group, "admin.list", "LGRP_GetGroupAdm()->open(%s) error", out);
}

int LGRP_IsInGroupList(std::string_view name, std::string_view group) {
  std::vector<LGRP_Group> records;
  int r = LGRP_GetGroupFIDs(group, records);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_IsInGroupList()->LGRP_GetGroupFIDs()=%d", r);
    return 0;
  }
  for (const LGRP_Group& rec : records) {
    if (rec.name == name) return 1;
  }
  return 0;
}

int LGRP_IsInThisGroup(std::string_view user, std::string_view group) {
  std::vector<std::string> users;
  int r = LGRP_GetGroupUser(group, users);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_IsInThisGroup()->LGRP_GetGroupUser()=%d", r);
    return 0;
  }
  for (const std::string& u : users) {
    if (u == user) return 1;
  }
  return 0;
}

int LGRP_IsGroupAdm(std::string_view user, std::string_view group) {
  if (group.empty()) return -1;
  std::vector<std::string> entries;
  int r = LGRP_GetUserGroupList(user, entries);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_IsGroupAdm()->LGRP_GetUserGroupList()=%d", r);
    return -1;
  }
  LgrpSplitId g = LgrpSplit(group);
  for (const std::string& entry : entries) {
    if (entry.empty() || entry.front() != '+') continue;
    LgrpSplitId e = LgrpSplit(std::string_view(entry).substr(1));
    if (e.has_domain != g.has_domain || e.domain != g.domain) continue;
    if (g.path.substr(0, e.path.size()) != e.path) continue;
    if (g.path.size() == e.path.size() || g.path[e.path.size()] == '/') return 1;
  }
  return 0;
}

int LGRP_ReadUserGroupList(std::string_view user, std::string& text) {
  text.clear();
  if (user.empty() || !LgrpUserOk(user)) return kLgrpBadUser;
  std::string path = LgrpUserListPath(user);
  int r = LgrpReadFile(path, text);
  if (r != kLgrpOk) MdsLog(LgrpLogPath(), "LGRP_ReadUserGroupList()->open(%s) error", path.c_str());
  return r;
}

int LGRP_GetUserGroupList(std::string_view user, std::vector<std::string>& out) {
  out.clear();
  std::string text;
  int r = LGRP_ReadUserGroupList(user, text);
  if (r != kLgrpOk) return r;
  std::map<std::string_view, std::size_t> seen;  // id without "+" -> entry
  for (std::string_view line : LgrpLines(text)) {
    if (line.empty()) continue;
    bool admin = line.front() == '+';
    std::string_view id = admin ? line.substr(1) : line;
    if (id.size() > kLgrpIdMax) continue;
    auto it = seen.find(id);
    if (it == seen.end()) {
      seen.emplace(id, out.size());
      out.emplace_back(line);
    } else if (admin && out[it->second].front() != '+') {
      out[it->second] = std::string(line);
    }
  }
  return kLgrpOk;
}
