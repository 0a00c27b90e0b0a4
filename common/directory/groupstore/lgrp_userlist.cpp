// Changes to a user's own Group.list, and keeping the lists in step after a
// group moved.
#include <set>

#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/account.h"

namespace {

std::string_view IdOf(std::string_view entry) {
  return !entry.empty() && entry.front() == '+' ? entry.substr(1) : entry;
}

// Rewrites the user's list under its lock; `change` gets the lines and fills
// the new text, answering true to write it. 0, 5, or 2 after a log line: the
// write error's, or `read_failed`'s line when the list could not be read.
int ChangeUserList(
    std::string_view user, bool create, const std::function<void()>& read_failed,
    const std::function<bool(const std::vector<std::string_view>&, std::string&)>& change) {
  if (user.empty() || !LgrpUserOk(user)) return kLgrpBadUser;
  std::string home = user_home(user);
  RewriteResult r = LgrpRewrite(home, "Group.list", ".Group_", create, [&](std::string& text) {
    std::string out;
    if (!change(LgrpLines(text), out)) return false;
    text = std::move(out);
    return true;
  });
  if (r.ok()) return kLgrpOk;
  if (r.status == RewriteStatus::kOpenFailed && read_failed) {
    read_failed();
  } else {
    MdsLog(LgrpLogPath(), "LGRP_WriteUserGroupList()->open(%s) error", r.path.c_str());
  }
  return kLgrpFileError;
}

void AddLine(std::string& out, std::string_view line) {
  out += line;
  out += '\n';
}

}  // namespace

int LGRP_WriteUserGroupList(std::string_view user, std::string_view text) {
  return ChangeUserList(user, true, nullptr,
                        [&](const std::vector<std::string_view>&, std::string& out) {
                          out.assign(text);
                          return true;
                        });
}

int LGRP_UserGroupListAdd(std::string_view user, std::string_view group, bool as_admin) {
  return ChangeUserList(user, true, nullptr,
                        [&](const std::vector<std::string_view>& lines, std::string& out) {
                          bool found = false, changed = false;
                          for (std::string_view line : lines) {
                            if (IdOf(line) == group) {
                              found = true;
                              if (as_admin && line.front() != '+') {
                                out += '+';
                                changed = true;
                              }
                            }
                            AddLine(out, line);
                          }
                          if (!found) {
                            if (as_admin) out += '+';
                            AddLine(out, group);
                            changed = true;
                          }
                          return changed;
                        });
}

int LGRP_UserGroupListDel(std::string_view user, std::string_view group, bool admin_only) {
  return ChangeUserList(
      user, false,
      [] { MdsLog(LgrpLogPath(), "LGRP_UserGroupListDel()->LGRP_GetUserGroupList()=%d", 2); },
      [&](const std::vector<std::string_view>& lines, std::string& out) {
        bool changed = false;
        for (std::string_view line : lines) {
          if (IdOf(line) != group) {
            AddLine(out, line);
          } else if (admin_only) {
            changed |= line.front() == '+';
            AddLine(out, IdOf(line));
          } else {
            changed = true;
          }
        }
        return changed;
      });
}

int LGRP_UserGroupListUpdate(std::string_view user, std::string_view old_group,
                             std::string_view new_group) {
  auto read_failed = [user] {
    MdsLog(LgrpLogPath(), "LGRP_UserGroupListUpdate()->LGRP_GetUserGroupList(%.*s)=%d",
           static_cast<int>(user.size()), user.data(), 2);
  };
  return ChangeUserList(user, false, read_failed,
                        [&](const std::vector<std::string_view>& lines, std::string& out) {
                          for (std::string_view line : lines) {
                            if (IdOf(line) == old_group) {
                              if (line.front() == '+') out += '+';
                              AddLine(out, new_group);
                            } else {
                              AddLine(out, line);
                            }
                          }
                          return true;
                        });
}

int LGRP_RefreshUserGroupList(std::string_view new_group, std::string_view old_group) {
  std::vector<LGRP_Group> subs;
  int r = LGRP_GetGroupFIDs(new_group, subs);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_RefreshUserGroupList()->LGRP_GetGroupFIDs()=%d", r);
    return r;
  }
  for (const LGRP_Group& sub : subs) {
    LGRP_RefreshUserGroupList(sub.id, LgrpChildId(old_group, LGRP_GroupNumber(sub.id)));
  }
  std::vector<std::string> members, admins;
  r = LGRP_GetGroupUser(new_group, members);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "LGRP_RefreshUserGroupList()->LGRP_GetGroupUser()=%d", r);
    return r;
  }
  // Administrators' entries move with the group as members' do.
  if (LGRP_GetGroupAdm(new_group, admins) == kLgrpOk) {
    for (std::string& a : admins) members.push_back(std::move(a));
  }
  std::set<std::string> done;
  for (const std::string& user : members) {
    if (!done.insert(user).second) continue;
    int u = LGRP_UserGroupListUpdate(user, old_group, new_group);
    if (u != kLgrpOk)
      MdsLog(LgrpLogPath(), "LGRP_RefreshUserGroupList()->LGRP_UserGroupListUpdate()t=%d", u);
  }
  return kLgrpOk;
}
