// Creating and removing users, their information and passwords, with the
// add-on hooks.
#include "common/directory/app/mdsap.h"
#include "common/directory/base/mds_log.h"
#include "common/directory/config/mds_hooks.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/account.h"
#include "host/account/passwd_file.h"
#include "host/files/log.h"
#include "host/site/domain_table.h"

namespace {

// The user information as the C records carry it (a copy: a back end or hook
// can neither change nor free the host's record).
struct CInfo {
  MdsUserInfoRecord record;
  CInfo(const UINFO& info, std::string_view user) {
    MdsUserFields fields;
    for (int i = 0; i < kUserInfoFields; ++i) fields[i] = info.f[i];
    if (fields[0]->empty()) fields[0] = std::string(user);
    MdsMakeUserInfo(fields, &record.rec);
  }
  MDS_UserInfo* get() { return &record.rec; }
};

bool HooksOn(const MDS_Context* ctx) {
  return MDS_OptionIsSet(ctx, MDS_OPT_CALLMDSADD) == 1;
}

// Logs a hook's answer: 65 is a request to stop (PreAdd) or only noted
// (PostAdd), 66 its failure. Answers the hook's result.
int NoteHook(const char* hook, bool pre, const std::string& user, int result) {
  if (result == MDSADD_BREAK) {
    MdsLog(ErrorLogPath(), pre ? "%s(%s) requests to break" : "%s(%s) returns break", hook,
           user.c_str());
  } else if (result == MDSADD_FAILED) {
    MdsLog(ErrorLogPath(), "%s(%s) failed", hook, user.c_str());
  }
  return result;
}

bool UserOk(const std::string& user) {
  return IsValidUserId(user);
}

// Removes the user from the forwarding files of the mailing accounts of the
// user's groups, as one context sees them.
int RemoveForwards(MDS_Context* ctx, const std::string& user) {
  MdsStringList groups;
  int r = MDS_UserGListGet(ctx, user.c_str(), &groups.items, &groups.count);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "s_RmFwdByUser(%s)->MDS_UserGListGet()=%d", user.c_str(), r);
    return r;
  }
  for (const char* group : groups) {
    MdsGroupInfoRecord info;
    if (group && MDS_GroupInfoGet(ctx, group, &info.rec) == kMdsOk && info.rec.f[1] &&
        *info.rec.f[1]) {
      MDSAP_FwdDel(ctx, info.rec.f[1], user.c_str());
    }
  }
  return kMdsOk;
}

}  // namespace

int MDSAP_UserInfoGet(MDS_Context* ctx, const char* user, UINFO& info) {
  uinfo_free(info);
  if (!user || !*user) return -1;
  if (uinfo_get(user, info) != 0) return -1;
  MdsUserInfoRecord dir;
  int r = MDS_UserInfoGet(ctx, user, &dir.rec);
  if (r == kMdsOk) {
    for (int i = 0; i < kUserInfoFields; ++i) {
      if (dir.rec.f[i] && *dir.rec.f[i]) info.f[i] = dir.rec.f[i];
    }
  } else if (r != kMdsNotSupported) {
    MdsLog(ErrorLogPath(), "MDSAP_UserInfoGet()->MDS_UserInfoGet(%s)=%d", user, r);
  }
  if (HooksOn(ctx)) {
    CInfo c(info, user);
    NoteHook("MDSADD_UserInfoGet_PostAdd", false, user, MDSADD_UserInfoGet_PostAdd(user, c.get()));
  }
  return kMdsOk;
}

int MDSAP_UserInfoUpdate(MDS_Context* ctx, const char* user, const UINFO& info) {
  if (!user || !UserOk(user)) return kMdsNoGroup;
  if (HooksOn(ctx)) {
    CInfo c(info, user);
    if (NoteHook("MDSADD_UserInfoUpdate_PreAdd", true, user,
                 MDSADD_UserInfoUpdate_PreAdd(user, c.get())) == MDSADD_BREAK) {
      return -1;
    }
  }
  int r = uinfo_store(user, info);
  if (r != 0) {
    MdsLog(ErrorLogPath(), "MDSAP_UserInfoUpdate()->uinfo_store(%s)=%d", user, r);
    return r;
  }
  CInfo c(info, user);
  r = MDS_UserInfoUpdate(ctx, c.get());
  if (r != kMdsOk && r != kMdsNotSupported) {
    MdsLog(ErrorLogPath(), "MDSAP_UserInfoUpdate()->MDS_UserInfoUpdate(%s)=%d", user, r);
    return -1;
  }
  return kMdsOk;
}

int MDSAP_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password, int is_hash,
                         int no_password) {
  if (!user || !UserOk(user)) return kMdsNoGroup;
  const char* pw = password ? password : "";
  int r = MDS_UserPassUpdate(ctx, user, pw, 1);
  if (r != kMdsOk && r != kMdsNotSupported) {
    MdsLog(ErrorLogPath(), "MDSAP_UserPassUpdate()->MDS_UserPassUpdate(%s, 1)=%d", user, r);
    return -1;
  }
  if (UpdatePass(user, pw, is_hash, no_password) != 0) {
    MdsLog(ErrorLogPath(), "MDSAP_UserPassUpdate()->UpdatePass(%s) error", user);
    return kMdsFileError;
  }
  if (HooksOn(ctx)) {
    NoteHook("MDSADD_UserPassUpdate_PostAdd", false, user,
             MDSADD_UserPassUpdate_PostAdd(user, pw, is_hash, no_password));
  }
  return kMdsOk;
}

int MDSAP_UserPassUpdate2(MDS_Context* ctx, const char* user, const char* record) {
  PassRecord parsed;
  if (!user || !UserOk(user) || !record || !ParsePassRecord(record, parsed) ||
      parsed.user != user) {
    return kMdsNoGroup;
  }
  int r = MDS_UserPassUpdate(ctx, user, record, 0);
  if (r != kMdsOk && r != kMdsNotSupported) {
    MdsLog(ErrorLogPath(), "MDSAP_UserPassUpdate()->MDS_UserPassUpdate(%s, 0)=%d", user, r);
    return -1;
  }
  return UpdatePass2(user, parsed) == 0 ? kMdsOk : kMdsFileError;
}

int MDSAP_UserCreate(MDS_Context* ctx, const char* group, const char* user, const char* password,
                     int level, int is_hash, int no_password, const UINFO& info) {
  const std::string u = MDSAP_QualifyUser(ctx, user ? user : "");
  if (!UserOk(u)) return kMdsNoGroup;
  const char* pw = password ? password : "";
  const char* g = group ? group : "";
  const bool hooks = HooksOn(ctx);
  if (hooks) {
    CInfo c(info, u);
    if (NoteHook("MDSADD_UserCreate_PreAdd", true, u,
                 MDSADD_UserCreate_PreAdd(g, u.c_str(), pw, level, is_hash, no_password,
                                          c.get())) == MDSADD_BREAK) {
      return kMdsExists;
    }
  }
  int local = user_create(u, level);
  if (local > 1) {
    MdsLog(ErrorLogPath(), "MDSAP_UserCreate()->user_create(%s)=%d", u.c_str(), local);
    return local;
  }
  const bool existed = local == 1;
  if (existed) MdsLog(ErrorLogPath(), "MDSAP_UserCreate(): local account %s exists", u.c_str());

  std::string target = g;
  int r = kMdsOk;
  if (target.empty()) {
    std::optional<std::string> def = MDSAP_DefaultGroup(ctx);
    if (def) {
      target = *def;
    } else {
      MdsLog(ErrorLogPath(), "MDSAP_UserCreate(%s): default group not found", u.c_str());
      r = kMdsFileError;
    }
  }
  if (r == kMdsOk) {
    if (MDS_IsUserExist(ctx, u.c_str()) == 1) {
      MDSAP_GroupUserCreate(ctx, target.c_str(), u.c_str());
      r = kMdsExists;
    } else {
      CInfo c(info, u);
      r = MDS_UserCreate(ctx, u.c_str(), pw, target.c_str(), c.get());
      if (r == kMdsOk) {
        MDSAP_UserGroupLevelApply(ctx, u.c_str(), target.c_str());
        mds_FwdAdd(ctx, target.c_str(), u.c_str());
      }
    }
  }

  bool store_info = true, store_password = true;
  if (r == kMdsNotSupported) {
    store_info = false;  // like a success, without the information
  } else if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_UserCreate()->MDS_UserCreate(%s)=%d", u.c_str(), r);
    if (r == kMdsExists) {
      if (MDS_OptionIsSet(ctx, MDS_OPT_UPDATEONUE)) {
        MDSAP_UserInfoUpdate(ctx, u.c_str(), info);
        MDSAP_UserPassUpdate(ctx, u.c_str(), pw, is_hash, no_password);
        store_info = store_password = false;
      } else {
        if (existed) return 1;
        int s = uinfo_store(u, info);
        if (s != 0) MdsLog(ErrorLogPath(), "MDSAP_UserCreate()->uinfo_store(%s)=%d", u.c_str(), s);
        return kMdsOk;
      }
    } else if (!MDS_OptionIsSet(ctx, MDS_OPT_CREATEONUCF)) {
      if (!existed) user_remove(u);
      return kMdsExists;
    }
  }
  if (store_info) {
    int s = MDSAP_UserInfoUpdate(ctx, u.c_str(), info);
    if (s != kMdsOk) {
      MdsLog(ErrorLogPath(), "MDSAP_UserCreate()->MDSAP_UserInfoUpdate(%s)=%d", u.c_str(), s);
    }
  }
  if (store_password) UpdatePass(u, pw, is_hash, no_password);
  if (hooks) {
    CInfo c(info, u);
    NoteHook("MDSADD_UserCreate_PostAdd", false, u,
             MDSADD_UserCreate_PostAdd(g, u.c_str(), pw, level, is_hash, no_password, c.get()));
  }
  return existed ? 1 : 0;
}

int MDSAP_UserRemove(MDS_Context* ctx, const char* user) {
  const std::string u = MDSAP_QualifyUser(ctx, user ? user : "");
  if (!UserOk(u)) return kMdsNoGroup;
  std::string forward;
  if (MDSAP_FwdRead(ctx, u.c_str(), forward) == kMdsOk) {
    for (std::string_view line : LgrpLines(forward)) {
      if (line.starts_with("@B:")) return kMdsRefused;
    }
  }
  for (const std::string& domain : DomainTableLoad()) {
    MdsSession in_domain(nullptr, ("@" + domain).c_str());
    if (in_domain.ok()) {
      int r = RemoveForwards(in_domain.get(), u);
      if (r != kMdsOk) return r;
    }
  }
  MdsSession site(nullptr, nullptr);
  if (site.ok()) {
    int r = RemoveForwards(site.get(), u);
    if (r != kMdsOk) return r;
  }
  UINFO info;
  MDSAP_UserInfoGet(ctx, u.c_str(), info);
  int r = MDS_UserDelete(ctx, u.c_str());
  if (r != kMdsOk && r != kMdsNoGroup && r != kMdsNotSupported) {
    MdsLog(ErrorLogPath(), "MDSAP_UserRemove()->MDS_UserDelete(%s)=%d", u.c_str(), r);
    if (!MDS_OptionIsSet(ctx, MDS_OPT_DELETEONUDF)) return -1;
  }
  int local = user_remove(u);
  if (local < 0) return kMdsFileError;
  if (local == 0 && HooksOn(ctx)) {
    CInfo c(info, u);
    NoteHook("MDSADD_UserRemove_PostAdd", false, u, MDSADD_UserRemove_PostAdd(u.c_str(), c.get()));
  }
  return kMdsOk;
}
