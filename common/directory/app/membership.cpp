// Group levels, the default group and membership changes.
#include "common/directory/app/mdsap.h"
#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "host/account/passwd_file.h"
#include "host/files/log.h"

namespace {

std::string_view WithoutDomain(std::string_view id) {
  return id.substr(0, MbStrChr(id, '@'));
}

}  // namespace

int MDSAP_UserGroupLevelApply(MDS_Context* ctx, const char* user, const char* group) {
  int level = MDSAP_GroupLevelGet(ctx, group);
  if (level <= 0 || !user) return kMdsOk;
  PassRecord record;
  if (ReadPass(user, record) != 0) {
    MdsLog(LgrpLogPath(), "MDSAP_UserGroupLevelApply()->ReadPass(%s) error", user);
    return kMdsFileError;
  }
  if (record.level == level - 1) return kMdsOk;
  record.level = level - 1;
  if (UpdatePass2(user, record) != 0) {
    MdsLog(ErrorLogPath(), "MDSAP_UserGroupLevelApply()->UpdatePass2(%s) error", user);
    return kMdsFileError;
  }
  return kMdsOk;
}

std::optional<std::string> MDSAP_DefaultGroup(MDS_Context* ctx) {
  std::string group = ctx->defgroup[0] ? ctx->defgroup : "/";
  if (group.size() < 2 || group[1] == '@') return group;  // the root always exists
  MdsGroupInfoRecord info;
  if (MDS_GroupInfoGet(ctx, group.c_str(), &info.rec) == kMdsOk) return group;
  MdsGroupInfoRecord create;
  create.rec.f[0] = MdsStrDup(group);
  int r = MDS_GroupCreate(ctx, &create.rec);
  // 3: another request has just created it.
  if (r != kMdsOk && r != kMdsExists) {
    MdsLog(ErrorLogPath(), "default group %s create failed (%d)", group.c_str(), r);
    return std::nullopt;
  }
  return group;
}

namespace {

// The user's groups (name paths); `ok` false when they cannot be read.
std::vector<std::string> UserGroups(MDS_Context* ctx, const char* user, int& result) {
  MdsStringList groups;
  result = MDS_UserGListGet(ctx, user, &groups.items, &groups.count);
  std::vector<std::string> out;
  for (const char* g : groups) out.emplace_back(g ? g : "");
  return out;
}

bool Contains(const std::vector<std::string>& groups, std::string_view group) {
  for (const std::string& g : groups) {
    if (WithoutDomain(g) == WithoutDomain(group)) return true;
  }
  return false;
}

// The mailing account of a group, empty when it has none or cannot be read.
std::string MailingAccount(MDS_Context* ctx, const char* group, int& result) {
  MdsGroupInfoRecord info;
  result = MDS_GroupInfoGet(ctx, group, &info.rec);
  return result == kMdsOk && info.rec.f[1] ? info.rec.f[1] : "";
}

}  // namespace

int mds_FwdAdd(MDS_Context* ctx, const char* group, const char* user) {
  int r = kMdsOk;
  std::string account = MailingAccount(ctx, group, r);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "mds_FwdAdd()->MDS_GroupInfoGet(%s)=%d", group ? group : "", r);
    return r;
  }
  if (account.empty() || !user) return kMdsOk;
  MDSAP_FwdEntry entry;
  entry.address = user;
  entry.active = 1;
  r = MDSAP_FwdAdd(ctx, account.c_str(), entry, 0);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "mds_FwdAdd()->MDSAP_FwdAdd(%s, %s)=%d", account.c_str(), user, r);
  }
  return r;
}

int MDSAP_GroupUserCreate(MDS_Context* ctx, const char* group, const char* user) {
  std::optional<std::string> def = MDSAP_DefaultGroup(ctx);
  if (!def) {
    MdsLog(ErrorLogPath(), "MDSAP_GroupUserCreate(%s, %s): default group not found",
           group ? group : "", user ? user : "");
    return kMdsFileError;
  }
  int listed = kMdsOk;
  bool in_default = Contains(UserGroups(ctx, user, listed), *def);
  int r;
  if (in_default) {
    r = group && WithoutDomain(group) == WithoutDomain(*def)
            ? kMdsOk
            : MDS_GroupUserMove(ctx, user, def->c_str(), group);
  } else {
    r = MDS_GroupUserCreate(ctx, group, user);
  }
  if (r == kMdsOk || (!in_default && r == kMdsExists)) {
    MDSAP_UserGroupLevelApply(ctx, user, group);
    mds_FwdAdd(ctx, group, user);
  }
  return r;
}

int MDSAP_GroupUserDelete(MDS_Context* ctx, const char* group, const char* user) {
  const char* g = group ? group : "";
  const char* u = user ? user : "";
  std::optional<std::string> def = MDSAP_DefaultGroup(ctx);
  if (!def) {
    MdsLog(ErrorLogPath(), "MDSAP_GroupUserDelete(%s, %s): default group not found", g, u);
    return kMdsRefused;
  }
  int r = kMdsOk;
  std::vector<std::string> groups = UserGroups(ctx, user, r);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_GroupUserDelete(%s, %s)->MDS_UserGListGet()=%d", g, u, r);
    return r;
  }
  if (groups.size() > 1 || !Contains(groups, g)) {
    r = MDS_GroupUserDelete(ctx, group, user);
  } else if (WithoutDomain(g) != WithoutDomain(*def)) {
    // Its last group: the user goes back to the default group.
    r = MDS_GroupUserMove(ctx, user, group, def->c_str());
  } else if (MDS_OptionIsSet(ctx, MDS_OPT_BREAKINGRULE)) {
    r = MDS_GroupUserDelete(ctx, group, user);
  } else {
    return kMdsRefused;
  }
  if (r == kMdsOk) {
    int got = kMdsOk;
    std::string account = MailingAccount(ctx, group, got);
    if (!account.empty()) MDSAP_FwdDel(ctx, account.c_str(), u);
  }
  return r;
}
