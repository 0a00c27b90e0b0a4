// Members, administrators and group levels.
#include <algorithm>

#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/passwd_file.h"

namespace {

bool Holds(std::string_view text, std::string_view user) {
  std::vector<std::string> users = LgrpUserLines(text);
  return std::find(users.begin(), users.end(), user) != users.end();
}

// Appends the user to <group folder>/<file> unless it holds the user. 0, 3
// (held already), 2 (after the log line), -1.
int AddUserLine(std::string_view group, std::string_view user, const char* file, const char* prefix,
                const char* who) {
  std::optional<std::string> dir = LGRP_GroupDir(group);
  if (!dir) return kLgrpBadId;
  // The root's folder is made when its first member or administrator comes.
  if (LgrpSplit(group).path == "/") LgrpMakeTree(group);
  bool held = false;
  RewriteResult r = LgrpRewrite(*dir, file, prefix, true, [&](std::string& text) {
    held = Holds(text, user);
    if (held) return false;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += user;
    text += '\n';
    return true;
  });
  if (!r.ok()) {
    MdsLog(LgrpLogPath(), "%s()->open(%s) error", who, r.path.c_str());
    return kLgrpFileError;
  }
  return held ? kLgrpExists : kLgrpOk;
}

// Rewrites <group folder>/<file> without every line equal to the user.
int DropUserLine(std::string_view group, std::string_view user, const char* file,
                 const char* prefix, const char* who) {
  std::optional<std::string> dir = LGRP_GroupDir(group);
  if (!dir) return kLgrpBadId;
  RewriteResult r = LgrpRewrite(*dir, file, prefix, false, [&](std::string& text) {
    std::string out;
    bool dropped = false;
    for (std::string_view line : LgrpLines(text)) {
      if (line == user) {
        dropped = true;
        continue;
      }
      out += line;
      out += '\n';
    }
    if (!dropped) return false;
    text = std::move(out);
    return true;
  });
  if (!r.ok()) {
    MdsLog(LgrpLogPath(), "%s()->open(%s) error", who, r.path.c_str());
    return kLgrpFileError;
  }
  return kLgrpOk;
}

bool UserOk(std::string_view user) {
  return !user.empty() && LgrpUserOk(user);
}

}  // namespace

int LGRP_AddGroupUser(std::string_view group, std::string_view user) {
  if (!UserOk(user)) return kLgrpBadUser;
  if (!LGRP_GroupDir(group)) return kLgrpBadId;
  int r = LGRP_UserGroupListAdd(user, group, false);
  if (r != kLgrpOk) return r;
  return AddUserLine(group, user, "user.list", ".user_", "LGRP_AddGroupUser");
}

int LGRP_DelGroupUser(std::string_view group, std::string_view user) {
  if (!UserOk(user)) return kLgrpBadUser;
  std::vector<std::string> members;
  int r = LGRP_GetGroupUser(group, members);
  if (r != kLgrpOk) return r;
  if (!members.empty()) {
    r = DropUserLine(group, user, "user.list", ".user_", "LGRP_DelGroupUser");
    if (r != kLgrpOk) return r;
  }
  // Also when the group has no members: an administrator leaving the group
  // must not keep the administration.
  r = MDS_LGRP_GroupAdmDelete(group, user);
  if (r != kLgrpOk) return r;
  return LGRP_UserGroupListDel(user, group, false);
}

int LGRP_AddGroupAdm(std::string_view group, std::string_view user) {
  if (!UserOk(user)) return kLgrpBadUser;
  if (!LGRP_GroupDir(group)) return kLgrpBadId;
  int r = LGRP_IsGroupAdm(user, group);
  if (r < 0) return kLgrpFileError;
  if (r == 1) return kLgrpOk;
  r = LGRP_UserGroupListAdd(user, group, true);
  if (r != kLgrpOk) return r;
  r = AddUserLine(group, user, "admin.list", ".admin_", "LGRP_AddGroupAdm");
  return r == kLgrpExists ? kLgrpOk : r;
}

int MDS_LGRP_GroupAdmDelete(std::string_view group, std::string_view user) {
  if (!UserOk(user)) return kLgrpBadUser;
  std::vector<std::string> admins;
  int r = LGRP_GetGroupAdm(group, admins);
  if (r != kLgrpOk) return r;
  // A member keeps the group without its "+"; someone who only administered
  // it loses the entry, or the user would count as in the group.
  bool member = LGRP_IsInThisGroup(user, group) == 1;
  r = LGRP_UserGroupListDel(user, group, member);
  if (r != kLgrpOk) return r;
  if (std::find(admins.begin(), admins.end(), user) == admins.end()) return kLgrpOk;
  r = DropUserLine(group, user, "admin.list", ".admin_", "MDS_LGRP_GroupAdmDelete");
  if (r != kLgrpOk) LGRP_UserGroupListAdd(user, group, true);
  return r;
}

int LGRP_ModifyUserLevel(const char* group, int level) {
  if (!group) {
    MdsLog(LgrpLogPath(), "LGRP_ModifyUserLevel() gets no pcGroupID");
    return 0;
  }
  if (level >= 0) {
    std::vector<std::string> members;
    int r = LGRP_GetGroupUser(group, members);
    if (r != kLgrpOk) {
      MdsLog(LgrpLogPath(), "LGRP_ModifyUserLevel()->LGRP_GetGroupUser(%s)=%d", group, r);
      return r;
    }
    for (const std::string& user : members) {
      PassRecord record;
      if (ReadPass(user, record) != 0) {
        MdsLog(LgrpLogPath(), "LGRP_ModifyUserLevel()->ReadPass(%s) error", user.c_str());
        continue;
      }
      record.level = level;
      if (UpdatePass2(user, record) != 0) {
        MdsLog(LgrpLogPath(), "LGRP_ModifyUserLevel()->UpdatePass2(%s) error", user.c_str());
      }
    }
  }
  std::vector<LGRP_Group> subs;
  int r = LGRP_GetGroupFIDs(group, subs);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_ModifyUserLevel()->LGRP_GetGroupFIDs(%s)=%d", group, r);
    return r;
  }
  for (const LGRP_Group& sub : subs) {
    LGRP_ModifyUserLevel(sub.id.c_str(), sub.level > 0 ? sub.level - 1 : level);
  }
  return kLgrpOk;
}
