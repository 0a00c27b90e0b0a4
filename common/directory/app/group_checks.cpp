// The group checks the cabinet's permission check calls on every request, and
// the searches for groups. They cost a few small file reads each and load
// nothing.
#include <cstdlib>

#include "common/directory/app/mdsap.h"
#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp.h"
#include "host/account/privileges.h"
#include "host/base/strings.h"
#include "host/files/log.h"
#include "host/site/site.h"

namespace {

// The id cut at its first "@".
std::string_view WithoutDomain(std::string_view id) {
  return id.substr(0, MbStrChr(id, '@'));
}

// The domain of the privilege checks: the text after "@" in the assignment,
// or null for the site.
std::optional<std::string> PrivilegeDomain(const MDS_Context* ctx) {
  std::string_view a(ctx->assignment);
  std::size_t at = a.find('@');
  if (at == std::string_view::npos || at + 1 == a.size()) return std::nullopt;
  return std::string(a.substr(at + 1));
}

int CheckPrivilege(const MDS_Context* ctx, const char* user, const char* code) {
  if (!user || !code) return 0;
  std::optional<std::string> domain = PrivilegeDomain(ctx);
  return MAU_PrivilegeCheckByUID(user, domain ? domain->c_str() : nullptr, code);
}

}  // namespace

std::string MDSAP_QualifyUser(const MDS_Context* ctx, std::string_view user) {
  std::size_t at = user.find('@');
  if (!isMultiDomain()) return std::string(user.substr(0, at));
  if (at != std::string_view::npos) return std::string(user);
  return std::string(user) + "@" + MDS_ContextDomain(ctx);
}

int MDSAP_IsGroupAdmin(MDS_Context* ctx, const char* user, const char* group,
                       const char* privilege) {
  if (CheckPrivilege(ctx, user, privilege) == 1) return 1;
  if (!group || !*group) return 0;
  std::string current(WithoutDomain(group));
  if (current.size() > 1 && current.back() == '/') current.pop_back();
  const std::string who = MDSAP_QualifyUser(ctx, user ? user : "");
  while (true) {
    MdsMemberList admins;
    if (MDS_GroupAListGet(ctx, current.c_str(), &admins.items, &admins.count) != kMdsOk) return -1;
    for (const MDS_Member& admin : admins) {
      if (admin.first && EqualsNoCase(MDSAP_QualifyUser(ctx, admin.first), who)) return 1;
    }
    if (current == "/") return 0;
    std::size_t slash = MbStrRChr(current, '/');
    if (slash == std::string::npos) return 0;
    current.resize(slash == 0 ? 1 : slash);
  }
}

int MDSAP_IsInGroupTree(MDS_Context* ctx, const char* user, const char* group) {
  if (!group || !*group) return -1;
  std::string_view g = WithoutDomain(group);
  if (g.size() > 1 && g.back() == '/') g.remove_suffix(1);
  MdsStringList groups;
  if (MDS_UserGListGet(ctx, user, &groups.items, &groups.count) != kMdsOk) return -1;
  if (groups.count > 0 && g == "/") return 1;
  for (const char* mine : groups) {
    std::string_view m(mine ? mine : "");
    if (!m.starts_with(g)) continue;
    if (m.size() == g.size() || m[g.size()] == '/' || m[g.size()] == '@') return 1;
  }
  return 0;
}

int MDSAP_IsSiteAdmin(MDS_Context* ctx, const char* user) {
  if (CheckPrivilege(ctx, user, "300") == 1) return 1;
  int r = MDS_GroupIsAdm(ctx, user);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int MDSAP_IsInTheGroup(MDS_Context* ctx, const char* user, const char* group) {
  MdsMemberList members;
  int r = MDS_GroupUListGet(ctx, group, &members.items, &members.count);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_IsInTheGroup->MDS_GroupUListGet(%s)=%d", group ? group : "", r);
    return 0;
  }
  for (const MDS_Member& m : members) {
    if (user && m.first && std::string_view(m.first) == user) return 1;
  }
  return 0;
}

namespace {

std::optional<std::string> FindFrom(MDS_Context* ctx, const std::string& group,
                                    std::string_view text) {
  std::string_view id = WithoutDomain(group);
  if (text.size() <= id.size() && id.ends_with(text)) return group;
  MdsStringList children;
  int r = MDS_GroupGListGet(ctx, group.c_str(), &children.items, &children.count);
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_FindGroupID()->MDS_GroupGListGet(%s)=%d", group.c_str(), r);
    return std::nullopt;
  }
  for (const char* child : children) {
    if (!child) continue;
    if (std::optional<std::string> found = FindFrom(ctx, child, text)) return found;
  }
  return std::nullopt;
}

// The last name of a group id, without domain and trailing "/".
std::string_view LastName(std::string_view id) {
  id = WithoutDomain(id);
  if (id.size() > 1 && id.back() == '/') id.remove_suffix(1);
  std::size_t slash = MbStrRChr(id, '/');
  return slash == std::string_view::npos ? id : id.substr(slash + 1);
}

int FindByAccount(MDS_Context* ctx, const std::string& group, const std::string& account,
                  std::string& found) {
  MdsGroupInfoList subs;
  int r = MDS_GroupGInfoListGet(ctx, group.c_str(), &subs.items, &subs.count);
  if (r != kMdsOk) {
    LOG_FileStr(ErrorLogPath(),
                StrPrintf("MDSAP_FindGroupIDByFwd()->MDS_GroupGInfoListGet()=%d\n", r));
    return 0;
  }
  for (const MDS_GroupInfo& sub : subs) {
    if (sub.f[0] && sub.f[1] && *sub.f[1] && MDSAP_QualifyUser(ctx, sub.f[1]) == account) {
      found = sub.f[0];
      return 1;
    }
  }
  for (const MDS_GroupInfo& sub : subs) {
    if (sub.f[0] && FindByAccount(ctx, sub.f[0], account, found)) return 1;
  }
  return 0;
}

}  // namespace

std::optional<std::string> MDSAP_FindGroupID(MDS_Context* ctx, const char* start,
                                             const char* text) {
  if (!start || !text) return std::nullopt;
  return FindFrom(ctx, start, text);
}

std::optional<std::string> MDSAP_FindGroupID2(MDS_Context* ctx, const char* start,
                                              std::string& path) {
  if (!start) return std::nullopt;
  std::string current = start;
  for (std::string_view name : PathParts(path)) {
    MdsStringList children;
    int r = MDS_GroupGListGet(ctx, current.c_str(), &children.items, &children.count);
    if (r != kMdsOk) {
      MdsLog(ErrorLogPath(), "MDSAP_FindGroupID2()->MDS_GroupGListGet(%s)=%d", current.c_str(), r);
      return std::nullopt;
    }
    const char* next = nullptr;
    for (const char* child : children) {
      if (child && LastName(child) == name) {
        next = child;
        break;
      }
    }
    if (!next) {
      path.clear();
      return std::string(start);
    }
    current = next;
  }
  return current;
}

int MDSAP_FindGroupIDByFwd(MDS_Context* ctx, const char* start, const char* account,
                           std::string& out, std::size_t size) {
  out.clear();
  if (!start || !account) return 0;
  std::string found;
  if (!FindByAccount(ctx, start, MDSAP_QualifyUser(ctx, account), found)) return 0;
  out = found.substr(0, size > 0 ? size - 1 : 0);
  return 1;
}

int MDSAP_GroupLevelGet(MDS_Context* ctx, const char* group) {
  if (!group || !*group) {
    MdsLog(ErrorLogPath(), "MDSAP_GroupLevelGet():no group id given");
    return 0;
  }
  std::string current = group;
  while (true) {
    MdsGroupInfoRecord info;
    int r = MDS_GroupInfoGet(ctx, current.c_str(), &info.rec);
    if (r != kMdsOk) {
      MdsLog(ErrorLogPath(), "MDSAP_GroupLevelGet()->MDS_GroupInfoGet(%s)=%d", current.c_str(), r);
      return 0;
    }
    int level = info.rec.f[3] ? std::atoi(info.rec.f[3]) : 0;
    if (level != 0) return level;
    if (WithoutDomain(current) == "/") return 0;
    current = LGRP_ParentID(current);
  }
}
