// The group operations of the LDAP back end. Groups are entries of the group
// class below the group base, named by the DN hierarchy; members and
// administrators are values holding user DNs.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "engines/ldap/ldap_backend.h"
#include "engines/ldap/ldap_names.h"
#include "host/base/strings.h"

using namespace mds_ldap;

namespace {

constexpr int kCreatedField = 5;

bool IsRoot(const char* id) {
  std::optional<std::vector<std::string>> names = id ? SplitGroupPath(id) : std::nullopt;
  return names && names->empty();
}

// The attributes that hold the group fields.
std::vector<std::string> InfoAttrs(const Settings& s) {
  std::vector<std::string> attrs;
  for (int f = 1; f < kGroupFields; ++f) {
    if (!s.group_attrs[f].empty()) attrs.push_back(s.group_attrs[f]);
  }
  if (attrs.empty()) attrs.push_back(s.group_name);  // something, not every attribute
  return attrs;
}

// "YYYYMMDDHHMMSS[.fraction]Z" as seconds since the epoch; other text as it
// is.
std::string CreatedText(const std::string& value) {
  if (value.size() < 15 || value.back() != 'Z') return value;
  for (int i = 0; i < 14; ++i) {
    if (value[i] < '0' || value[i] > '9') return value;
  }
  auto num = [&](int at, int n) { return std::atoi(value.substr(at, n).c_str()); };
  std::tm tm{};
  tm.tm_year = num(0, 4) - 1900;
  tm.tm_mon = num(4, 2) - 1;
  tm.tm_mday = num(6, 2);
  tm.tm_hour = num(8, 2);
  tm.tm_min = num(10, 2);
  tm.tm_sec = num(12, 2);
  return std::to_string(static_cast<long long>(timegm(&tm)));
}

bool ReadOnly(const std::string& attr) {
  return EqualsNoCase(attr, "createTimestamp") || EqualsNoCase(attr, "modifyTimestamp");
}

MdsGroupFields InfoFields(const Settings& s, const std::string& path, const Entry& e) {
  MdsGroupFields fields;
  fields[0] = path;
  for (int f = 1; f < kGroupFields; ++f) {
    const std::string* value = s.group_attrs[f].empty() ? nullptr : e.First(s.group_attrs[f]);
    if (!value) {
      fields[f] = std::string(GroupFieldDefault(f));
    } else {
      fields[f] = f == kCreatedField ? CreatedText(*value) : *value;
    }
  }
  return fields;
}

// The mapped fields of a record as changes: `op` for fields with text; with
// `clear_empty`, a replace without values (the attribute goes) for the rest.
std::vector<Mod> FieldMods(const Settings& s, const MDS_GroupInfo* info, int op, bool clear_empty) {
  std::vector<Mod> mods;
  for (int f = 1; f < kGroupFields; ++f) {
    const std::string& attr = s.group_attrs[f];
    if (attr.empty() || ReadOnly(attr)) continue;
    const char* v = info->f[f];
    if (v && *v)
      mods.push_back(Mod{op, attr, {v}});
    else if (clear_empty)
      mods.push_back(Mod{LDAP_MOD_REPLACE, attr, {}});
  }
  return mods;
}

// The sub-groups of a group, sorted by path.
int Children(Backend& b, const char* op, const char* id, const std::vector<std::string>& attrs,
             std::vector<std::pair<std::string, Entry>>& out) {
  std::optional<std::string> dn = GroupDnOf(b.settings, id);
  if (!dn) return kNoSuch;
  std::vector<Entry> found;
  int rc = b.link.Search(op, *dn, LDAP_SCOPE_ONELEVEL,
                         "(objectClass=" + b.settings.group_class + ")", attrs, 0, found);
  if (rc != LDAP_SUCCESS) return Code(rc);
  for (Entry& e : found) {
    if (std::optional<std::string> path = PathOf(b.settings, e.dn)) {
      out.emplace_back(std::move(*path), std::move(e));
    }
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& z) { return a.first < z.first; });
  return kOk;
}

int MemberList(MDS_Context* ctx, const char* op, const char* id, bool admins, MDS_Member** list,
               int* count) {
  *list = nullptr;
  *count = 0;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::optional<std::string> dn = GroupDnOf(b->settings, id);
  if (!dn) return kNoSuch;
  const std::string& attr = admins ? b->settings.admin : b->settings.member;
  Entry group;
  int r = ReadGroup(*b, op, *dn, {attr}, group);
  if (r != kOk) return r;
  std::vector<std::string> ids;
  if (const std::vector<std::string>* values = group.All(attr)) {
    r = UserIdsOf(*b, op, *values, ids);
    if (r != kOk) return r;
  }
  std::vector<std::pair<std::string, MdsText>> pairs;
  for (std::string& u : ids) pairs.emplace_back(std::move(u), std::nullopt);
  return MdsMakeMembers(pairs, list, count);
}

// Adds a member value; the empty member, when there, goes.
int AddMember(Backend& b, const char* op, const std::string& group, const std::string& user_dn) {
  const Settings& s = b.settings;
  int rc = b.link.Modify(op, group, {Mod{LDAP_MOD_ADD, s.member, {user_dn}}});
  if (rc != LDAP_SUCCESS) return Code(rc);
  rc = b.link.Modify(op, group, {Mod{LDAP_MOD_DELETE, s.member, {s.empty_member}}});
  return rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_ATTRIBUTE ? kOk : Code(rc);
}

// Removes a member value (none: nothing to do); the last one gives way to
// the empty member, as the group class needs one.
int RemoveMember(Backend& b, const char* op, const std::string& group, const std::string& user_dn) {
  const Settings& s = b.settings;
  int rc = b.link.Modify(op, group, {Mod{LDAP_MOD_DELETE, s.member, {user_dn}}});
  if (rc == LDAP_OBJECT_CLASS_VIOLATION) {
    rc = b.link.Modify(op, group, {Mod{LDAP_MOD_REPLACE, s.member, {s.empty_member}}});
  }
  return rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_ATTRIBUTE ? kOk : Code(rc);
}

int RemoveAdmin(Backend& b, const char* op, const std::string& group, const std::string& user_dn) {
  int rc = b.link.Modify(op, group, {Mod{LDAP_MOD_DELETE, b.settings.admin, {user_dn}}});
  return rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_ATTRIBUTE ? kOk : Code(rc);
}

// The group's DN and the user's DN for a change of one membership: kOk, or
// the table's answer.
int GroupAndUser(Backend& b, const char* op, const char* id, const char* user, std::string& group,
                 std::string& user_dn) {
  std::optional<std::string> dn = GroupDnOf(b.settings, id);
  if (!dn) return kNoSuch;
  group = *dn;
  Entry u;
  int r = FindUser(b, op, user, u);
  if (r != kOk) return r;
  user_dn = u.dn;
  return kOk;
}

// The last name of a group path.
std::string LastName(const std::vector<std::string>& names) {
  return names.empty() ? std::string() : names.back();
}

}  // namespace

MDS_EXPORT int MDS_GroupUListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return MemberList(ctx, "MDS_GroupUListGet", id, false, list, count);
}

MDS_EXPORT int MDS_GroupAListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return MemberList(ctx, "MDS_GroupAListGet", id, true, list, count);
}

MDS_EXPORT int MDS_GroupGListGet(MDS_Context* ctx, const char* id, char*** list, int* count) {
  *list = nullptr;
  *count = 0;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::vector<std::pair<std::string, Entry>> children;
  int r = Children(*b, "MDS_GroupGListGet", id, {}, children);
  if (r != kOk) return r;
  std::vector<std::string> paths;
  for (auto& c : children) paths.push_back(std::move(c.first));
  return MdsMakeStrings(paths, list, count);
}

MDS_EXPORT int MDS_GroupGInfoListGet(MDS_Context* ctx, const char* id, MDS_GroupInfo** list,
                                     int* count) {
  *list = nullptr;
  *count = 0;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::vector<std::pair<std::string, Entry>> children;
  int r = Children(*b, "MDS_GroupGInfoListGet", id, InfoAttrs(b->settings), children);
  if (r != kOk) return r;
  std::vector<MdsGroupFields> infos;
  for (const auto& c : children) infos.push_back(InfoFields(b->settings, c.first, c.second));
  return MdsMakeGroupInfos(infos, list, count);
}

MDS_EXPORT int MDS_GroupInfoGet(MDS_Context* ctx, const char* id, MDS_GroupInfo* info) {
  *info = MDS_GroupInfo{};
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::optional<std::string> dn = GroupDnOf(b->settings, id);
  if (!dn) return kNoSuch;
  if (IsRoot(id)) return MdsMakeGroupInfo({std::string("/")}, info);
  Entry e;
  int r = ReadGroup(*b, "MDS_GroupInfoGet", *dn, InfoAttrs(b->settings), e);
  if (r != kOk) return r;
  std::optional<std::string> path = PathOf(b->settings, e.dn);
  if (!path) return kNoSuch;
  return MdsMakeGroupInfo(InfoFields(b->settings, *path, e), info);
}

MDS_EXPORT int MDS_GroupCreate(MDS_Context* ctx, MDS_GroupInfo* info) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  if (!info || !info->f[0]) return kNoSuch;
  const Settings& s = b->settings;
  std::optional<std::vector<std::string>> names = SplitGroupPath(info->f[0]);
  if (!names || names->empty() || !NameOk(names->back())) return kNoSuch;
  std::optional<std::string> dn = GroupDnOf(s, info->f[0]);
  std::vector<std::string> classes{s.group_class};
  classes.insert(classes.end(), s.group_aux_classes.begin(), s.group_aux_classes.end());
  std::vector<Mod> attrs{Mod{LDAP_MOD_ADD, "objectClass", classes},
                         Mod{LDAP_MOD_ADD, s.group_name, {names->back()}},
                         Mod{LDAP_MOD_ADD, s.member, {s.empty_member}}};
  for (Mod& m : FieldMods(s, info, LDAP_MOD_ADD, false)) attrs.push_back(std::move(m));
  return Code(b->link.Add("MDS_GroupCreate", *dn, attrs));
}

MDS_EXPORT int MDS_GroupDelete(MDS_Context* ctx, const char* id) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::optional<std::string> dn = GroupDnOf(b->settings, id);
  if (!dn || IsRoot(id)) return kNoSuch;
  Entry e;
  int r = ReadGroup(*b, "MDS_GroupDelete", *dn, {}, e);  // only groups go
  if (r != kOk) return r;
  return Code(b->link.Delete("MDS_GroupDelete", *dn));
}

MDS_EXPORT int MDS_GroupInfoUpdate(MDS_Context* ctx, MDS_GroupInfo* info) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  if (!info || !info->f[0] || IsRoot(info->f[0])) return kNoSuch;
  std::optional<std::string> dn = GroupDnOf(b->settings, info->f[0]);
  if (!dn) return kNoSuch;
  Entry e;
  int r = ReadGroup(*b, "MDS_GroupInfoUpdate", *dn, {}, e);
  if (r != kOk) return r;
  std::vector<Mod> mods = FieldMods(b->settings, info, LDAP_MOD_REPLACE, true);
  if (mods.empty()) return kOk;
  return Code(b->link.Modify("MDS_GroupInfoUpdate", *dn, mods));
}

MDS_EXPORT int MDS_GroupRename(MDS_Context* ctx, const char* id, const char* parent,
                               const char* name) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const Settings& s = b->settings;
  std::optional<std::vector<std::string>> names = id ? SplitGroupPath(id) : std::nullopt;
  std::optional<std::string> dn = GroupDnOf(s, id);
  if (!names || names->empty() || !dn) return kNoSuch;
  bool renaming = name && *name, moving = parent && *parent;
  if (renaming && !NameOk(name)) return kNoSuch;
  std::optional<std::string> parent_dn;
  if (moving && !(parent_dn = GroupDnOf(s, parent))) return kNoSuch;
  Entry e;
  int r = ReadGroup(*b, "MDS_GroupRename", *dn, {}, e);
  if (r != kOk || (!renaming && !moving)) return r;
  if (moving) {
    Entry p;
    r = ReadGroup(*b, "MDS_GroupRename", *parent_dn, {}, p);
    if (r != kOk) return r;
  }
  std::string rdn = s.group_name + "=" + EscapeDnValue(renaming ? name : LastName(*names));
  return Code(b->link.Rename("MDS_GroupRename", *dn, rdn, moving ? *parent_dn : std::string()));
}

MDS_EXPORT int MDS_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user) {
  if (!id || !*id) return kOk;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::string group, user_dn;
  int r = GroupAndUser(*b, "MDS_GroupUserCreate", id, user, group, user_dn);
  return r != kOk ? r : AddMember(*b, "MDS_GroupUserCreate", group, user_dn);
}

MDS_EXPORT int MDS_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user) {
  if (!id || !*id) return kOk;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const char* op = "MDS_GroupUserDelete";
  std::optional<std::string> group = GroupDnOf(b->settings, id);
  if (!group) return kNoSuch;
  Entry u;
  int r = FindUser(*b, op, user, u);
  if (r == kNoSuch) {
    Entry e;  // no such user: a member of no group, when the group is there
    return ReadGroup(*b, op, *group, {}, e);
  }
  if (r != kOk) return r;
  r = RemoveMember(*b, op, *group, u.dn);
  return r != kOk ? r : RemoveAdmin(*b, op, *group, u.dn);
}

MDS_EXPORT int MDS_GroupUserMove(MDS_Context* ctx, const char* user, const char* from,
                                 const char* to) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const char* op = "MDS_GroupUserMove";
  std::string source, target, user_dn;
  int r = GroupAndUser(*b, op, to, user, target, user_dn);
  if (r != kOk) return r;
  std::optional<std::string> from_dn = GroupDnOf(b->settings, from);
  if (!from_dn) return kNoSuch;
  source = *from_dn;
  Entry e;
  r = ReadGroup(*b, op, source, {}, e);
  if (r != kOk) return r;
  r = AddMember(*b, op, target, user_dn);
  if (r != kOk) return r;
  r = RemoveMember(*b, op, source, user_dn);
  if (r != kOk) RemoveMember(*b, op, target, user_dn);
  return r;
}

MDS_EXPORT int MDS_GroupIsAdm(MDS_Context* ctx, const char* user) {
  if (!user || !*user) return 0;
  Backend* b = For(ctx);
  if (!b) return -1;
  const Settings& s = b->settings;
  Entry u;
  int r = FindUser(*b, "MDS_GroupIsAdm", user, u);
  if (r == kNoSuch) return 0;
  if (r != kOk) return -1;
  std::vector<Entry> found;
  int rc = b->link.Search(
      "MDS_GroupIsAdm", s.group_base, LDAP_SCOPE_SUBTREE,
      "(&(objectClass=" + s.group_class + ")(" + s.admin + "=" + EscapeFilterValue(u.dn) + "))", {},
      1, found);
  if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return -1;
  // Group ids of this back end carry no domain.
  return found.empty() ? 0 : 2;
}

MDS_EXPORT int MDS_GroupAdmCreate(MDS_Context* ctx, const char* id, const char* user) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::string group, user_dn;
  int r = GroupAndUser(*b, "MDS_GroupAdmCreate", id, user, group, user_dn);
  if (r != kOk) return r;
  int rc = b->link.Modify("MDS_GroupAdmCreate", group,
                          {Mod{LDAP_MOD_ADD, b->settings.admin, {user_dn}}});
  return rc == LDAP_TYPE_OR_VALUE_EXISTS ? kOk : Code(rc);
}

MDS_EXPORT int MDS_GroupAdmDelete(MDS_Context* ctx, const char* id, const char* user) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  std::string group, user_dn;
  int r = GroupAndUser(*b, "MDS_GroupAdmDelete", id, user, group, user_dn);
  return r != kOk ? r : RemoveAdmin(*b, "MDS_GroupAdmDelete", group, user_dn);
}
