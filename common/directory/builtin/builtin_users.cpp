// The user operations of the built-in back end, its table and the qualifying
// of group ids.
#include <set>

#include "common/directory/base/mds_log.h"
#include "common/directory/base/mds_records.h"
#include "common/directory/builtin/builtin_common.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/account.h"
#include "host/account/passwd_file.h"
#include "host/account/user_info.h"
#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/site/site.h"

using namespace mds_builtin;

bool MdsAddressBookMode(const MDS_Context* ctx) {
  return std::string_view(ctx->assignment).starts_with("PA.");
}

std::string MDS_LGRP_Domain(const MDS_Context* ctx) {
  std::string_view a(ctx->assignment);
  if (a.starts_with("@")) return std::string(a.substr(1));
  if (a.starts_with("PA.")) {
    std::size_t at = MbStrChr(a, '@');
    return at == std::string_view::npos ? std::string() : std::string(a.substr(at + 1));
  }
  std::size_t scheme = a.find("://");
  if (scheme != std::string_view::npos) {
    std::string_view host = a.substr(scheme + 3);
    if (host.empty() || host.front() == '/' || host.front() == '?') return {};
    return std::string(host.substr(0, host.find('/')));
  }
  return {};
}

std::string MDS_LGRP_QualifyID(const MDS_Context* ctx, const char* id) {
  return LGRP_QualifyID(id ? id : "", MDS_LGRP_Domain(ctx));
}

int MDS_LGRP_UserGListGet(MDS_Context* ctx, const char* user, char*** list, int* count) {
  *list = nullptr;
  *count = 0;
  if (BadUser(user)) return kMdsNoGroup;
  std::string text;
  int r = LGRP_ReadUserGroupList(user ? user : "", text);
  if (r != kLgrpOk || text.empty()) return r;
  std::string domain = MDS_LGRP_Domain(ctx);
  std::set<std::string_view> taken;
  std::vector<std::string> names;
  for (std::string_view line : LgrpLines(text)) {
    if (line.empty()) continue;
    std::string_view id = line.front() == '+' ? line.substr(1) : line;
    if (!taken.insert(id).second) continue;
    LgrpSplitId s = LgrpSplit(id);
    bool agrees = s.has_domain ? !domain.empty() && EqualsNoCase(s.domain, domain) : domain.empty();
    if (!agrees) continue;
    // Entries of groups that no longer exist name no group.
    if (std::optional<std::string> name = LGRP_GroupPathName(id)) names.push_back(std::move(*name));
  }
  return MdsMakeStrings(names, list, count);
}

int MDS_LGRP_UserInfoUpdate(MDS_Context*, MDS_UserInfo*) {
  return kMdsNotSupported;
}

int MDS_LGRP_UserInfoGet(MDS_Context* ctx, const char* user, MDS_UserInfo* info) {
  *info = MDS_UserInfo{};
  if (!user || !*user) return kMdsFileError;
  if (BadUser(user)) return kMdsNoGroup;
  std::string text;
  if (MFILE_Read(user_home(user) + "/.userinfo", text) < 0) return kMdsFileError;
  if (text.empty()) return kMdsOk;
  UserInfoFields parsed = ParseUserInfo(text);
  MdsUserFields fields;
  for (int i = 0; i < MDS_USERINFO_FIELDS; ++i) fields[i] = std::move(parsed[i]);
  MdsText& email = fields[kUserInfoEmail];
  if (!email || email->empty()) {
    std::string_view id(user);
    bool has_domain = id.find('@') != std::string_view::npos;
    if (isMultiDomain()) {
      if (has_domain) email = std::string(id);
    } else {
      email = has_domain ? std::string(id) : std::string(id) + "@" + GINI().default_domain;
    }
  }
  return MdsMakeUserInfo(fields, info);
}

int MDS_LGRP_UserPassUpdate(MDS_Context*, const char*, const char*, int) {
  return kMdsNotSupported;
}

int MDS_LGRP_UserPassGet(MDS_Context* ctx, const char* user, char** password) {
  *password = nullptr;
  if (BadUser(user)) return kMdsNoGroup;
  PassRecord record;
  if (!user || ReadPass(user, record) != 0) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_UserPassGet()->ReadPass(%s) failed", user ? user : "");
    return kMdsFileError;
  }
  *password = MdsStrDup(record.Text());
  return *password ? kMdsOk : kMdsNoMemory;
}

int MDS_LGRP_UserCreate(MDS_Context* ctx, const char* user, const char* password, const char* id,
                        MDS_UserInfo* info) {
  if (BadUser(user)) return kMdsNoGroup;
  if (!id || !*id) return kMdsOk;
  return MDS_LGRP_GroupUserCreate(ctx, id, user);
}

int MDS_LGRP_UserDelete(MDS_Context* ctx, const char* user) {
  if (BadUser(user)) return kMdsNoGroup;
  std::string u = user ? user : "";
  std::vector<std::string> entries;
  int r = LGRP_GetUserGroupList(u, entries);
  if (r != kLgrpOk) return Code(r);
  for (const std::string& entry : entries) {
    std::string_view id = entry.front() == '+' ? std::string_view(entry).substr(1) : entry;
    // An entry that names no folder can only be dropped from the list.
    r = LGRP_GroupDir(id) ? LGRP_DelGroupUser(id, u) : LGRP_UserGroupListDel(u, id, false);
    if (r != kLgrpOk) return Code(r);
  }
  return kMdsOk;
}

int MDS_LGRP_IsUserExist(MDS_Context* ctx, const char* user) {
  if (BadUser(user)) return -1;
  MdsStringList groups;
  if (MDS_LGRP_UserGListGet(ctx, user, &groups.items, &groups.count) != kMdsOk) return -1;
  return groups.count > 0 ? 1 : 0;
}

int MDS_LGRP_Shutdown(MDS_Context*) {
  return kMdsNotSupported;
}

void MDS_InstallBuiltin(MDS_Context* ctx) {
  void* const table[MDS_OP_COUNT] = {
      reinterpret_cast<void*>(&MDS_LGRP_GroupUListGet),
      reinterpret_cast<void*>(&MDS_LGRP_GroupAListGet),
      reinterpret_cast<void*>(&MDS_LGRP_GroupGListGet),
      reinterpret_cast<void*>(&MDS_LGRP_GroupGInfoListGet),
      reinterpret_cast<void*>(&MDS_LGRP_GroupInfoGet),
      reinterpret_cast<void*>(&MDS_LGRP_GroupCreate),
      reinterpret_cast<void*>(&MDS_LGRP_GroupDelete),
      reinterpret_cast<void*>(&MDS_LGRP_GroupInfoUpdate),
      reinterpret_cast<void*>(&MDS_LGRP_RenameThenMove),
      reinterpret_cast<void*>(&MDS_LGRP_GroupUserCreate),
      reinterpret_cast<void*>(&MDS_LGRP_GroupUserDelete),
      reinterpret_cast<void*>(&MDS_LGRP_GroupUserMove),
      reinterpret_cast<void*>(&MDS_LGRP_GroupIsAdm),
      reinterpret_cast<void*>(&MDS_LGRP_GroupAdmCreate),
      reinterpret_cast<void*>(
          static_cast<int (*)(MDS_Context*, const char*, const char*)>(&MDS_LGRP_GroupAdmDelete)),
      reinterpret_cast<void*>(&MDS_LGRP_UserGListGet),
      reinterpret_cast<void*>(&MDS_LGRP_UserInfoUpdate),
      reinterpret_cast<void*>(&MDS_LGRP_UserInfoGet),
      reinterpret_cast<void*>(&MDS_LGRP_UserPassUpdate),
      reinterpret_cast<void*>(&MDS_LGRP_UserPassGet),
      reinterpret_cast<void*>(&MDS_LGRP_UserCreate),
      reinterpret_cast<void*>(&MDS_LGRP_UserDelete),
      reinterpret_cast<void*>(&MDS_LGRP_IsUserExist),
      reinterpret_cast<void*>(&MDS_LGRP_UserSearch),
      reinterpret_cast<void*>(&MDS_LGRP_Shutdown),
  };
  for (int i = 0; i < MDS_OP_COUNT; ++i) ctx->ops[i] = table[i];
}
