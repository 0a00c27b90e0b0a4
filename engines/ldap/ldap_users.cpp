// The user operations of the LDAP back end. Users are entries of the user
// class below the user base, found by their id attribute; their groups are
// the groups whose member (or administrator) values hold their DN.
#include <algorithm>
#include <set>

#include "engines/ldap/ldap_backend.h"
#include "engines/ldap/ldap_names.h"

using namespace mds_ldap;

namespace {

constexpr int kGivenName = 1;  // UNAME
constexpr int kSurname = 2;    // ULNAME

// The filter of the groups that list a user (DN) as member, or also as
// administrator.
std::string GroupsOfFilter(const Settings& s, const std::string& user_dn, bool admins) {
  std::string dn = EscapeFilterValue(user_dn);
  std::string member = "(" + s.member + "=" + dn + ")";
  if (admins) member = "(|" + member + "(" + s.admin + "=" + dn + "))";
  return "(&(objectClass=" + s.group_class + ")" + member + ")";
}

// The group paths of a user (DN): one search, no attributes fetched. Entries
// outside the group tree are left out. Sorted. Answers libldap's code.
int SearchGroupsOf(Backend& b, const char* op, const std::string& user_dn, bool admins,
                   std::vector<std::string>& paths) {
  std::vector<Entry> found;
  int rc = b.link.Search(op, b.settings.group_base, LDAP_SCOPE_SUBTREE,
                         GroupsOfFilter(b.settings, user_dn, admins), {}, 0, found);
  for (const Entry& e : found) {
    if (std::optional<std::string> path = PathOf(b.settings, e.dn)) paths.push_back(*path);
  }
  std::sort(paths.begin(), paths.end());
  return rc;
}

// The same, answering the table's codes: a missing group base is a failure.
int GroupsOf(Backend& b, const char* op, const std::string& user_dn, bool admins,
             std::vector<std::string>& paths) {
  int rc = SearchGroupsOf(b, op, user_dn, admins, paths);
  if (rc != LDAP_SUCCESS) return rc == LDAP_NO_SUCH_OBJECT ? kFailed : Code(rc);
  return kOk;
}

// The attributes that hold user information.
std::vector<std::string> InfoAttrs(const Settings& s) {
  std::vector<std::string> attrs;
  for (const std::string& a : s.user_attrs) {
    if (!a.empty()) attrs.push_back(a);
  }
  return attrs;
}

const char* Field(const MDS_UserInfo* info, int i) {
  return info && info->f[i] ? info->f[i] : "";
}

bool Required(const std::string& attr) {
  return attr == "cn" || attr == "sn";  // the person class cannot be without them
}

}  // namespace

MDS_EXPORT int MDS_UserGListGet(MDS_Context* ctx, const char* user, char*** list, int* count) {
  *list = nullptr;
  *count = 0;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  Entry u;
  int r = FindUser(*b, "MDS_UserGListGet", user, u);
  if (r == kNoSuch) return kOk;  // a user the directory does not know is in no group
  if (r != kOk) return r;
  std::vector<std::string> paths;
  // Administrators count as members of their groups, as in the built-in
  // store, whose user group lists hold both.
  r = GroupsOf(*b, "MDS_UserGListGet", u.dn, true, paths);
  return r != kOk ? r : MdsMakeStrings(paths, list, count);
}

MDS_EXPORT int MDS_UserInfoGet(MDS_Context* ctx, const char* user, MDS_UserInfo* info) {
  *info = MDS_UserInfo{};
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const Settings& s = b->settings;
  Entry u;
  int r = FindUser(*b, "MDS_UserInfoGet", user, u, InfoAttrs(s));
  if (r != kOk) return r;
  MdsUserFields fields;
  for (int i = 0; i < MDS_USERINFO_FIELDS; ++i) {
    if (s.user_attrs[i].empty()) continue;
    if (const std::string* v = u.First(s.user_attrs[i])) fields[i] = *v;
  }
  return MdsMakeUserInfo(fields, info);
}

MDS_EXPORT int MDS_UserInfoUpdate(MDS_Context* ctx, MDS_UserInfo* info) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const Settings& s = b->settings;
  Entry u;
  int r = FindUser(*b, "MDS_UserInfoUpdate", info ? info->f[0] : nullptr, u);
  if (r != kOk) return r;
  std::vector<Mod> mods;
  for (int i = 1; i < MDS_USERINFO_FIELDS; ++i) {
    const std::string& attr = s.user_attrs[i];
    if (attr.empty() || attr == s.user_id) continue;
    std::string value = Field(info, i);
    if (!value.empty())
      mods.push_back(Mod{LDAP_MOD_REPLACE, attr, {value}});
    else if (!Required(attr))
      mods.push_back(Mod{LDAP_MOD_REPLACE, attr, {}});
  }
  if (mods.empty()) return kOk;
  return Code(b->link.Modify("MDS_UserInfoUpdate", u.dn, mods));
}

MDS_EXPORT int MDS_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password,
                                  int mode) {
  if (mode != 1) return kNotSupported;  // a host password record has no place here
  Backend* b = For(ctx);
  if (!b) return kFailed;
  Entry u;
  int r = FindUser(*b, "MDS_UserPassUpdate", user, u);
  if (r != kOk) return r;
  return Code(b->link.SetPassword("MDS_UserPassUpdate", u.dn, password ? password : ""));
}

MDS_EXPORT int MDS_UserPassGet(MDS_Context*, const char*, char** password) {
  *password = nullptr;
  return kNotSupported;  // the directory never hands out passwords
}

MDS_EXPORT int MDS_UserCreate(MDS_Context* ctx, const char* user, const char* password,
                              const char* id, MDS_UserInfo* info) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const Settings& s = b->settings;
  const char* op = "MDS_UserCreate";
  if (!user || !*user) return kNoSuch;
  std::string given = Field(info, kGivenName), surname = Field(info, kSurname);
  if (surname.empty()) surname = user;
  std::string common = given.empty() ? surname : given + " " + surname;
  std::vector<Mod> attrs{Mod{LDAP_MOD_ADD, "objectClass", {s.user_class}},
                         Mod{LDAP_MOD_ADD, s.user_id, {user}}};
  std::set<std::string> taken{s.user_id};
  auto add = [&](const std::string& attr, const std::string& value) {
    if (attr.empty() || value.empty() || !taken.insert(attr).second) return;
    attrs.push_back(Mod{LDAP_MOD_ADD, attr, {value}});
  };
  add("cn", common);
  add("sn", surname);
  for (int i = 1; i < MDS_USERINFO_FIELDS; ++i) add(s.user_attrs[i], Field(info, i));
  std::string dn = s.user_id + "=" + EscapeDnValue(user) + "," + s.user_base;
  int r = Code(b->link.Add(op, dn, attrs));
  if (r != kOk) return r;
  if (password && *password) r = Code(b->link.SetPassword(op, dn, password));
  if (r == kOk && id && *id) r = MDS_GroupUserCreate(ctx, id, user);
  if (r != kOk) b->link.Delete(op, dn);  // the new entry goes again: all or nothing
  return r;
}

MDS_EXPORT int MDS_UserDelete(MDS_Context* ctx, const char* user) {
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const char* op = "MDS_UserDelete";
  Entry u;
  int r = FindUser(*b, op, user, u);
  if (r != kOk) return r;
  // A missing group base holds no groups: the user entry still goes.
  std::vector<std::string> paths;
  int rc = SearchGroupsOf(*b, op, u.dn, true, paths);
  if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT) return Code(rc);
  for (const std::string& path : paths) {
    if ((r = MDS_GroupUserDelete(ctx, path.c_str(), user)) != kOk) return r;
  }
  return Code(b->link.Delete(op, u.dn));
}

MDS_EXPORT int MDS_IsUserExist(MDS_Context* ctx, const char* user) {
  if (!user || !*user) return 0;
  Backend* b = For(ctx);
  if (!b) return -1;
  Entry u;
  int r = FindUser(*b, "MDS_IsUserExist", user, u);
  return r == kOk ? 1 : r == kNoSuch ? 0 : -1;
}

MDS_EXPORT int MDS_UserSearch(MDS_Context* ctx, const char* pattern, MDS_Member** list,
                              int* count) {
  *list = nullptr;
  *count = 0;
  Backend* b = For(ctx);
  if (!b) return kFailed;
  const Settings& s = b->settings;
  const char* op = "MDS_UserSearch";
  // Users whose id holds the pattern (the directory's own matching rule
  // decides case), then the groups that list them.
  std::string p = pattern ? pattern : "";
  std::string filter = "(&(objectClass=" + s.user_class + ")(" + s.user_id + "=" +
                       (p.empty() ? "*" : "*" + EscapeFilterValue(p) + "*") + "))";
  std::vector<Entry> users;
  int rc = b->link.Search(op, s.user_base, LDAP_SCOPE_SUBTREE, filter, {s.user_id}, 0, users);
  if (rc != LDAP_SUCCESS) return Code(rc);
  std::vector<std::pair<std::string, std::string>> hits;  // (group, user)
  for (const Entry& u : users) {
    const std::string* id = u.First(s.user_id);
    if (!id) continue;
    std::vector<std::string> paths;
    int r = GroupsOf(*b, op, u.dn, false, paths);
    if (r != kOk) return r;
    for (std::string& path : paths) hits.emplace_back(std::move(path), *id);
  }
  std::sort(hits.begin(), hits.end());
  std::vector<std::pair<std::string, MdsText>> pairs;
  for (auto& h : hits) pairs.emplace_back(std::move(h.second), std::move(h.first));
  return MdsMakeMembers(pairs, list, count);
}
