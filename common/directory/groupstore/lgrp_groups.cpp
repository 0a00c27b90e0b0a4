// Creating, editing, moving and deleting groups.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/base/strings.h"
#include "host/files/root.h"
#include "host/site/domain.h"
#include "host/site/site.h"

namespace {

constexpr unsigned kMaxGroupNumber = 0x100000;  // sub-groups one parent can have

// The records of a Group.list text, parsed as the group `parent`'s.
std::vector<LGRP_Group> Records(std::string_view text, std::string_view parent) {
  std::vector<LGRP_Group> records;
  for (std::string_view line : LgrpLines(text)) {
    LGRP_Group rec;
    if (LgrpParseGroupLine(line, parent, rec)) records.push_back(std::move(rec));
  }
  return records;
}

std::string Join(const std::vector<LGRP_Group>& records) {
  std::string text;
  for (const LGRP_Group& rec : records) text += LgrpFormatLine(rec);
  return text;
}

}  // namespace

bool LgrpMakeTree(std::string_view parent) {
  LgrpSplitId s = LgrpSplit(parent);
  std::string dir;
  if (isMultiDomain() && !s.domain.empty()) {
    dir = GetDomainDir(s.domain);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  } else {
    dir = host::RootPath("public");
  }
  dir += "/grp";
  mkdir(dir.c_str(), 0770);
  for (std::string_view part : PathParts(s.path)) {
    dir += '/';
    dir += part;
    mkdir(dir.c_str(), 0770);
  }
  return true;
}

namespace {

// Creates the first free numbered folder below `dir`: its number, 0 when none
// could be made.
unsigned MakeNumberedDir(const std::string& dir) {
  // The group's own folder gets exactly 0770, whatever the process umask.
  mode_t saved = umask(0);
  unsigned made = 0;
  for (unsigned n = 1; n <= kMaxGroupNumber; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "/%x", n);
    if (mkdir((dir + name).c_str(), 0770) == 0) {
      made = n;
      break;
    }
    if (errno != EEXIST) break;
  }
  umask(saved);
  return made;
}

bool IsRoot(std::string_view id) {
  return LgrpSplit(id).path == "/";
}

}  // namespace

int LGRP_AddGroup(LGRP_Group& record) {
  const std::string parent = record.id;
  std::optional<std::string> dir = LGRP_GroupDir(parent);
  if (!dir) return kLgrpBadId;
  if (!LgrpMakeTree(parent)) return kLgrpFileError;
  int code = kLgrpOk;
  unsigned number = 0;
  // The name check, the new number and the new line under one lock: two
  // requests can never create two siblings of one name.
  RewriteResult r = LgrpRewrite(*dir, "Group.list", ".Group_", true, [&](std::string& text) {
    for (const LGRP_Group& rec : Records(text, parent)) {
      if (rec.name == record.name) {
        code = kLgrpExists;
        return false;
      }
    }
    number = MakeNumberedDir(*dir);
    if (number == 0) {
      code = kLgrpFileError;
      return false;
    }
    LGRP_Group line = record;
    line.id = LgrpChildId(parent, number);
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += LgrpFormatLine(line);
    return true;
  });
  if (!r.ok()) {
    MdsLog(LgrpLogPath(), "InsertGroupInList()->open(%s) error", r.path.c_str());
    if (number != 0) LGRP_RemoveGroupDir(LgrpChildId(parent, number));
    return kLgrpFileError;
  }
  if (code != kLgrpOk) return code;
  record.id = LgrpChildId(parent, number);
  return kLgrpOk;
}

int InsertGroupInList(const LGRP_Group& record) {
  std::string parent, last;
  if (!ParseGroup(record.id, parent, last)) {
    MdsLog(LgrpLogPath(), "InsertGroupInList()->ParseGroup(%s) error", record.id.c_str());
    return kLgrpBadId;
  }
  std::optional<std::string> dir = LGRP_GroupDir(parent);
  if (!dir) return kLgrpBadId;
  RewriteResult r = LgrpRewrite(*dir, "Group.list", ".Group_", true, [&](std::string& text) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += LgrpFormatLine(record);
    return true;
  });
  if (r.ok()) return kLgrpOk;
  MdsLog(LgrpLogPath(), "InsertGroupInList()->open(%s) error", r.path.c_str());
  return kLgrpFileError;
}

int RemoveGroupInList(std::string_view group) {
  std::string parent, last, g(group);
  if (!ParseGroup(group, parent, last)) {
    MdsLog(LgrpLogPath(), "RemoveGroupInList()->ParseGroup(%s) error", g.c_str());
    return kLgrpFileError;
  }
  std::optional<std::string> dir = LGRP_GroupDir(parent);
  if (!dir) return kLgrpBadId;
  RewriteResult r = LgrpRewrite(*dir, "Group.list", ".Group_", false, [&](std::string& text) {
    std::vector<LGRP_Group> records = Records(text, parent);
    std::size_t before = records.size();
    std::erase_if(records, [&](const LGRP_Group& rec) { return rec.id == group; });
    if (records.size() == before) return false;
    text = Join(records);
    return true;
  });
  if (r.ok()) return kLgrpOk;
  if (r.status == RewriteStatus::kOpenFailed) {
    MdsLog(LgrpLogPath(), "RemoveGroupInList()->LGRP_GetGroupFIDs()=%d", kLgrpFileError);
  } else {
    MdsLog(LgrpLogPath(), "RemoveGroupInList()->open(%s) error", r.path.c_str());
  }
  return kLgrpFileError;
}

int LGRP_EditGroup(const LGRP_Group& record) {
  std::string parent, last;
  if (!ParseGroup(record.id, parent, last)) {
    MdsLog(LgrpLogPath(), "LGRP_EditGroup()->ParseGroup(%s) error", record.id.c_str());
    return kLgrpFileError;
  }
  std::optional<std::string> dir = LGRP_GroupDir(parent);
  if (!dir) return kLgrpBadId;
  int code = kLgrpOk;
  RewriteResult r = LgrpRewrite(*dir, "Group.list", ".Group_", false, [&](std::string& text) {
    std::vector<LGRP_Group> records = Records(text, parent);
    bool found = false;
    for (LGRP_Group& rec : records) {
      if (rec.id != record.id && rec.name == record.name) {
        code = kLgrpExists;
        return false;
      }
    }
    for (LGRP_Group& rec : records) {
      if (rec.id == record.id) {
        rec = record;
        found = true;
      }
    }
    if (!found) return false;
    text = Join(records);
    return true;
  });
  if (!r.ok()) {
    if (r.status == RewriteStatus::kOpenFailed) {
      MdsLog(LgrpLogPath(), "LGRP_EditGroup()->LGRP_GetGroupFIDs(%s)=%d", parent.c_str(),
             kLgrpFileError);
    } else {
      MdsLog(LgrpLogPath(), "LGRP_EditGroup()->open(%s) error", r.path.c_str());
    }
    return kLgrpFileError;
  }
  return code;
}

int LGRP_MoveGroup(std::string_view group, std::string_view new_parent) {
  std::string g(group);
  LGRP_Group record;
  int r = LGRP_GetGroupInfo(group, record);
  // The root, and a group its parent does not list, cannot move.
  if (r == kLgrpOk && record.name.empty()) r = kLgrpBadId;
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_MoveGroup()->LGRP_GetGroupInfo(%s)=%d", g.c_str(), r);
    return r;
  }
  const LGRP_Group old = record;
  record.id.assign(new_parent);
  r = LGRP_AddGroup(record);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_MoveGroup()->LGRP_AddGroup(%s)=%d", std::string(new_parent).c_str(),
           r);
    return r;
  }
  r = RemoveGroupInList(group);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_MoveGroup()->RemoveGroupInList(%s)=%d", g.c_str(), r);
    LGRP_DelGroup(record.id);
    return r;
  }
  std::optional<std::string> from = LGRP_GroupDir(group), to = LGRP_GroupDir(record.id);
  if (from && to && rename(from->c_str(), to->c_str()) == 0) {
    LGRP_RefreshUserGroupList(record.id, group);
    return kLgrpOk;
  }
  MdsLog(LgrpLogPath(), "LGRP_MoveGroup()->rename(%s to %s): %s", from ? from->c_str() : "",
         to ? to->c_str() : "", std::strerror(errno));
  LGRP_DelGroup(record.id);
  InsertGroupInList(old);
  return kLgrpFileError;
}

int LGRP_RemoveGroupDir(std::string_view group) {
  std::optional<std::string> dir = LGRP_GroupDir(group);
  if (!dir) return kLgrpBadId;
  for (const char* file : {"/user.list", "/Group.list", "/admin.list"}) {
    if (unlink((*dir + file).c_str()) != 0 && errno != ENOENT) return kLgrpBadId;
  }
  return rmdir(dir->c_str()) == 0 ? kLgrpOk : kLgrpBadId;
}

namespace {

// Takes the group off the lists of its members and administrators.
int DropFromUserLists(std::string_view group, const char* who) {
  std::string g(group);
  std::vector<std::string> members, admins;
  int r = LGRP_GetGroupUser(group, members);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "%s()->LGRP_GetGroupUser(%s)=%d", who, g.c_str(), r);
    return r;
  }
  for (const std::string& user : members) LGRP_UserGroupListDel(user, group, false);
  // Administrators lose their "+" entry too: a later group that gets the
  // same number must not inherit them.
  if (LGRP_GetGroupAdm(group, admins) == kLgrpOk) {
    for (const std::string& user : admins) LGRP_UserGroupListDel(user, group, false);
  }
  return kLgrpOk;
}

}  // namespace

int LGRP_DelGroup(std::string_view group) {
  if (IsRoot(group)) return kLgrpBadId;
  std::string g(group);
  std::vector<LGRP_Group> subs;
  int r = LGRP_GetGroupFIDs(group, subs);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_DelGroup()->LGRP_GetGroupList(%s)=%d", g.c_str(), r);
    return r;
  }
  if (!subs.empty()) return kLgrpHasSubGroups;
  r = DropFromUserLists(group, "LGRP_DelGroup");
  if (r != kLgrpOk) return r;
  if (LGRP_RemoveGroupDir(group) != kLgrpOk) return kLgrpFileError;
  return RemoveGroupInList(group);
}

int LGRP_DelGroupUserRecursive(std::string_view group) {
  if (IsRoot(group)) return kLgrpBadId;
  std::string g(group);
  std::vector<LGRP_Group> subs;
  int r = LGRP_GetGroupFIDs(group, subs);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_DelGroupUserRecursive()->LGRP_GetGroupFIDs(%s)=%d", g.c_str(), r);
    return r;
  }
  for (const LGRP_Group& sub : subs) {
    r = LGRP_DelGroupUserRecursive(sub.id);
    if (r != kLgrpOk) return r;
  }
  r = DropFromUserLists(group, "LGRP_DelGroupUserRecursive");
  if (r != kLgrpOk) return r;
  if (LGRP_RemoveGroupDir(group) != kLgrpOk) return kLgrpFileError;
  return RemoveGroupInList(group);
}
