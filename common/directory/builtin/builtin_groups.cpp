// The group operations of the built-in back end.
#include <cstdlib>
#include <ctime>

#include "common/directory/base/mds_log.h"
#include "common/directory/base/mds_records.h"
#include "common/directory/builtin/builtin_common.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/account.h"
#include "host/site/domain_table.h"

namespace mds_builtin {

bool BadUser(const char* user) {
  return user && *user && !IsValidUserId(user);
}

int Qualify(const MDS_Context* ctx, const char* id, std::string& qualified) {
  if (!id) return kMdsNoGroup;
  qualified = MDS_LGRP_QualifyID(ctx, id);
  if (!LgrpPlainText(qualified) || qualified.size() > kLgrpIdMax) return kMdsNoGroup;
  LgrpSplitId s = LgrpSplit(qualified);
  if (s.path.empty() || s.path.front() != '/') return kMdsNoGroup;
  if (s.has_domain && !s.domain.empty() && !IsSafeDomainName(s.domain)) return kMdsNoGroup;
  return kMdsOk;
}

int Resolve(const MDS_Context* ctx, const char* id, std::string& number) {
  std::string qualified;
  if (Qualify(ctx, id, qualified) != kMdsOk) return kMdsNoGroup;
  return LGRP_ResolveGroupID(qualified, number) == kLgrpOk ? kMdsOk : kMdsNoGroup;
}

namespace {

// The name path of a sub-group: the id's path, "/" (not doubled), the name,
// the id's domain suffix.
std::string ChildName(const std::string& qualified, std::string_view name) {
  LgrpSplitId s = LgrpSplit(qualified);
  std::string path(s.path);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path + s.Suffix();
}

// The Group.list text of a group given by a qualified name path.
int ReadSubGroups(const std::string& qualified, const char* who, std::string& text) {
  std::string number;
  if (LGRP_ResolveGroupID(qualified, number) != kLgrpOk) return kMdsNoGroup;
  std::optional<std::string> dir = LGRP_GroupDir(number);
  if (!dir) return kMdsNoGroup;
  std::string path = *dir + "/Group.list";
  int r = LgrpReadFile(path, text);
  if (r != kLgrpOk) MdsLog(LgrpLogPath(), "%s()->MFILE_Read(%s) error", who, path.c_str());
  return r;
}

MdsText Decimal(int value) {
  return std::to_string(value);
}

MdsGroupFields InfoFields(const std::string& id, const LGRP_Group& rec) {
  return {id,        rec.account,          rec.text5, Decimal(rec.level),
          rec.text7, Decimal(rec.created), rec.text6, Decimal(rec.value9)};
}

int GroupInfos(const std::string& qualified, std::vector<MdsGroupFields>& out) {
  out.clear();
  std::string text;
  int r = ReadSubGroups(qualified, "MDS_LGRP_GroupGInfoListGet", text);
  if (r != kMdsOk) return r;
  for (std::string_view line : LgrpLines(text)) {
    LGRP_Group rec;
    if (LgrpParseGroupLine(line, "/", rec))
      out.push_back(InfoFields(ChildName(qualified, rec.name), rec));
  }
  return kMdsOk;
}

int MemberList(MDS_Context* ctx, const char* id, bool admins, MDS_Member** list, int* count) {
  *list = nullptr;
  *count = 0;
  std::string number;
  if (Resolve(ctx, id, number) != kMdsOk) return kMdsNoGroup;
  std::vector<std::string> users;
  int r = admins ? LGRP_GetGroupAdm(number, users) : LGRP_GetGroupUser(number, users);
  if (r != kLgrpOk) return Code(r);
  std::vector<std::pair<std::string, MdsText>> pairs;
  for (std::string& u : users) pairs.emplace_back(std::move(u), std::nullopt);
  return MdsMakeMembers(pairs, list, count);
}

const char* FieldOr(const MDS_GroupInfo* info, int i) {
  return info->f[i] ? info->f[i] : "";
}

// A group record from fields 2 to 8 of `info`; 5 when a text would not fit
// its field or holds a control byte.
int RecordFromInfo(const MDS_GroupInfo* info, std::string_view name, bool created_now,
                   LGRP_Group& rec) {
  struct Text {
    int field;
    std::string* out;
    std::size_t max;
  };
  rec.name.assign(name);
  for (Text t : {Text{1, &rec.account, kLgrpAccountMax}, Text{2, &rec.text5, kLgrpText5Max},
                 Text{4, &rec.text7, kLgrpText7Max}, Text{6, &rec.text6, kLgrpText6Max}}) {
    std::string_view v = FieldOr(info, t.field);
    if (v.size() > t.max || !LgrpPlainText(v)) return kMdsNoGroup;
    t.out->assign(v);
  }
  for (int field : {3, 5, 7}) {
    if (!LgrpPlainText(FieldOr(info, field))) return kMdsNoGroup;
  }
  rec.level = std::atoi(FieldOr(info, 3));
  rec.created = info->f[5]    ? std::atoi(info->f[5])
                : created_now ? static_cast<int>(std::time(nullptr))
                              : 0;
  rec.value9 = std::atoi(FieldOr(info, 7));
  return kMdsOk;
}

// A group name: 1 to 255 bytes, no control byte, "/" or "@".
bool NameOk(std::string_view name) {
  return !name.empty() && name.size() <= kLgrpNameMax && LgrpPlainText(name) &&
         name.find_first_of("/@") == std::string_view::npos;
}

// The last name of a qualified name path.
std::string_view LastName(const std::string& qualified) {
  std::string_view path = LgrpSplit(qualified).path;
  std::size_t slash = MbStrRChr(path, '/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsRootPath(const std::string& qualified) {
  return LgrpSplit(qualified).path == "/";
}

}  // namespace

int SubGroupNames(const std::string& qualified, std::vector<std::string>& out) {
  out.clear();
  std::string text;
  int r = ReadSubGroups(qualified, "MDS_LGRP_GroupGListGet", text);
  if (r != kMdsOk) return r;
  for (std::string_view line : LgrpLines(text)) {
    std::vector<std::string_view> fields = LgrpFields(line);
    if (fields.size() >= 3) out.push_back(ChildName(qualified, fields[1].substr(0, kLgrpNameMax)));
  }
  return kMdsOk;
}

int Members(const std::string& qualified, std::vector<std::string>& out) {
  std::string number;
  if (LGRP_ResolveGroupID(qualified, number) != kLgrpOk) return kMdsNoGroup;
  return Code(LGRP_GetGroupUser(number, out));
}

}  // namespace mds_builtin

using namespace mds_builtin;

int MDS_LGRP_GroupUListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return MemberList(ctx, id, false, list, count);
}

int MDS_LGRP_GroupAListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return MemberList(ctx, id, true, list, count);
}

int MDS_LGRP_GroupGListGet(MDS_Context* ctx, const char* id, char*** list, int* count) {
  *list = nullptr;
  *count = 0;
  std::string qualified;
  if (Qualify(ctx, id, qualified) != kMdsOk) return kMdsNoGroup;
  std::vector<std::string> names;
  int r = SubGroupNames(qualified, names);
  return r != kMdsOk ? r : MdsMakeStrings(names, list, count);
}

int MDS_LGRP_GroupGInfoListGet(MDS_Context* ctx, const char* id, MDS_GroupInfo** list, int* count) {
  *list = nullptr;
  *count = 0;
  std::string qualified;
  if (Qualify(ctx, id, qualified) != kMdsOk) return kMdsNoGroup;
  std::vector<MdsGroupFields> infos;
  int r = GroupInfos(qualified, infos);
  return r != kMdsOk ? r : MdsMakeGroupInfos(infos, list, count);
}

int MDS_LGRP_GroupInfoGet(MDS_Context* ctx, const char* id, MDS_GroupInfo* info) {
  *info = MDS_GroupInfo{};
  std::string qualified;
  if (Qualify(ctx, id, qualified) != kMdsOk) return kMdsNoGroup;
  if (IsRootPath(qualified)) return MdsMakeGroupInfo({std::string("/")}, info);
  std::string parent, last;
  if (!ParseGroup(qualified, parent, last)) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_GroupInfoGet()->ParseGroup(%s) error", qualified.c_str());
    return kMdsFileError;
  }
  std::vector<MdsGroupFields> infos;
  int r = GroupInfos(parent, infos);
  if (r != kMdsOk) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_GroupInfoGet()->MDS_LGRP_GroupGInfoListGet()=%d", r);
    return r;
  }
  for (const MdsGroupFields& f : infos) {
    if (f[0] == qualified) return MdsMakeGroupInfo(f, info);
  }
  return kMdsNoGroup;
}

int MDS_LGRP_GroupCreate(MDS_Context* ctx, MDS_GroupInfo* info) {
  std::string qualified, parent;
  if (!info || !info->f[0] || !*info->f[0] || Qualify(ctx, info->f[0], qualified) != kMdsOk) {
    return kMdsNoGroup;
  }
  LGRP_Group rec;
  if (!NameOk(LastName(qualified)) ||
      RecordFromInfo(info, LastName(qualified), true, rec) != kMdsOk) {
    return kMdsNoGroup;
  }
  if (LGRP_ResolveGroupID(LGRP_ParentID(qualified), parent) != kLgrpOk) return kMdsNoGroup;
  rec.id = parent;
  return Code(LGRP_AddGroup(rec));
}

int MDS_LGRP_GroupDelete(MDS_Context* ctx, const char* id) {
  std::string number;
  if (Resolve(ctx, id, number) != kMdsOk || IsRootPath(number)) return kMdsNoGroup;
  return Code(LGRP_DelGroup(number));
}

int MDS_LGRP_GroupInfoUpdate(MDS_Context* ctx, MDS_GroupInfo* info) {
  std::string qualified, number;
  if (!info || !info->f[0] || Qualify(ctx, info->f[0], qualified) != kMdsOk) return kMdsNoGroup;
  LGRP_Group rec;
  if (RecordFromInfo(info, LastName(qualified), false, rec) != kMdsOk) return kMdsNoGroup;
  if (LGRP_ResolveGroupID(qualified, number) != kLgrpOk) return kMdsNoGroup;
  rec.id = number;
  return Code(LGRP_EditGroup(rec));
}

int MDS_LGRP_RenameThenMove(MDS_Context* ctx, const char* id, const char* parent,
                            const char* name) {
  std::string number, parent_number;
  if (Resolve(ctx, id, number) != kMdsOk || IsRootPath(number)) return kMdsNoGroup;
  bool renaming = name && *name, moving = parent && *parent;
  if ((renaming && !NameOk(name)) || (moving && Resolve(ctx, parent, parent_number) != kMdsOk)) {
    return kMdsNoGroup;
  }
  LGRP_Group rec;
  int r = LGRP_GetGroupInfo(number, rec);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_RenameThenMove()->LGRP_GetGroupInfo(%s)=%d", number.c_str(), r);
    return Code(r);
  }
  if (renaming) {
    rec.name = name;
    r = LGRP_EditGroup(rec);
    if (r != kLgrpOk) {
      MdsLog(LgrpLogPath(), "MDS_LGRP_RenameThenMove()->LGRP_EditGroup(%s)=%d", number.c_str(), r);
      return Code(r);
    }
  }
  if (moving) {
    r = LGRP_MoveGroup(number, parent_number);
    if (r != kLgrpOk) {
      MdsLog(LgrpLogPath(), "MDS_LGRP_RenameThenMove()->LGRP_MoveGroup(%s->%s)=%d", number.c_str(),
             parent_number.c_str(), r);
      return Code(r);
    }
  }
  return kMdsOk;
}

int MDS_LGRP_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user) {
  if (BadUser(user)) return kMdsNoGroup;
  if (!id || !*id) return kMdsOk;
  std::string number;
  if (Resolve(ctx, id, number) != kMdsOk) return kMdsNoGroup;
  return Code(LGRP_AddGroupUser(number, user ? user : ""));
}

int MDS_LGRP_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user) {
  if (BadUser(user)) return kMdsNoGroup;
  if (!id || !*id) return kMdsOk;
  std::string number;
  if (Resolve(ctx, id, number) != kMdsOk) return kMdsNoGroup;
  return Code(LGRP_DelGroupUser(number, user ? user : ""));
}

int MDS_LGRP_GroupUserMove(MDS_Context* ctx, const char* user, const char* from, const char* to) {
  std::string source, target;
  if (BadUser(user) || Resolve(ctx, from, source) != kMdsOk || Resolve(ctx, to, target) != kMdsOk) {
    return kMdsNoGroup;
  }
  std::string u = user ? user : "";
  int r = LGRP_AddGroupUser(target, u);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_GroupUserMove()->LGRP_AddGroupUser()=%d", r);
    return Code(r);
  }
  r = LGRP_DelGroupUser(source, u);
  if (r != kLgrpOk) {
    MdsLog(LgrpLogPath(), "MDS_LGRP_GroupUserMove()->LGRP_DelGroupUser()=%d", r);
    LGRP_DelGroupUser(target, u);
    return Code(r);
  }
  return kMdsOk;
}

int MDS_LGRP_GroupIsAdm(MDS_Context* ctx, const char* user) {
  if (!user || !*user) return 0;
  if (BadUser(user)) return -1;
  std::vector<std::string> entries;
  if (LGRP_GetUserGroupList(user, entries) != kLgrpOk) return -1;
  int bits = 0;
  for (const std::string& e : entries) {
    if (e.front() == '+') bits |= MbStrChr(e, '@') != std::string::npos ? 1 : 2;
  }
  return bits;
}

int MDS_LGRP_GroupAdmCreate(MDS_Context* ctx, const char* id, const char* user) {
  std::string number;
  if (BadUser(user) || Resolve(ctx, id, number) != kMdsOk) return kMdsNoGroup;
  return Code(LGRP_AddGroupAdm(number, user ? user : ""));
}

int MDS_LGRP_GroupAdmDelete(MDS_Context* ctx, const char* id, const char* user) {
  std::string number;
  if (BadUser(user) || Resolve(ctx, id, number) != kMdsOk) return kMdsNoGroup;
  return Code(MDS_LGRP_GroupAdmDelete(number, user ? user : ""));
}
