// Directory packages: one call in a context opened for it and closed again.
#include <string>

#include "common/acl/acl_object.h"
#include "common/directory/app/mdsap.h"
#include "host/site/site.h"

namespace {

// A context opened with MDS_OpenForUser for the scope.
class UserContext {
 public:
  explicit UserContext(const char* id) : ok_(MDS_OpenForUser(&ctx_, id) == 0) {}
  ~UserContext() {
    if (ok_) MDS_Close(&ctx_);
  }
  UserContext(const UserContext&) = delete;
  UserContext& operator=(const UserContext&) = delete;
  bool ok() const { return ok_; }
  MDS_Context* get() { return &ctx_; }

 private:
  MDS_Context ctx_{};
  bool ok_;
};

// Whether the user is listed in the group of `account`'s mailing list or in
// a group above it.
bool ListMember(MDS_Context* ctx, const char* account, const char* user) {
  std::string group;
  if (MDSAP_FindGroupIDByFwd(ctx, "/", account, group, 2048) != 1) return false;
  std::size_t at = group.find('@');
  if (at != std::string::npos) group.resize(at);
  while (!group.empty()) {
    if (MDSAP_IsInTheGroup(ctx, user, group.c_str()) == 1) return true;
    if (group == "/") break;
    std::size_t slash = group.rfind('/');
    group.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
  }
  return false;
}

}  // namespace

int MDS_PkgUserInfoGet(const char* user_id, UINFO& info) {
  int admin = -1;
  {
    MdsSession site(nullptr, "@");
    if (site.ok()) admin = MDSAP_IsSiteAdmin(site.get(), user_id);
  }
  if (admin == 1) return 3;
  UserContext ctx(user_id);
  if (!ctx.ok()) return admin;
  return MDSAP_UserInfoGet(ctx.get(), user_id, info);
}

int MDS_PkgIsSiteAdmin(const char* user_id) {
  UserContext ctx(user_id);
  return ctx.ok() ? MDSAP_IsSiteAdmin(ctx.get(), user_id) : -1;
}

int MDS_PkgUserPassUpdate(const char* user_id, const char* password, int is_hash, int no_password) {
  UserContext ctx(user_id);
  return ctx.ok() ? MDSAP_UserPassUpdate(ctx.get(), user_id, password, is_hash, no_password) : -1;
}

int MDS_PkgUserCreate(const char* group, const char* user_id, const char* password, int level,
                      int is_hash, int no_password, const UINFO& info) {
  UserContext ctx(group);
  if (!ctx.ok()) return 3;
  return MDSAP_UserCreate(ctx.get(), group, user_id, password, level, is_hash, no_password, info);
}

int MDS_PkgIsListMember(const char* account, const char* user_id) {
  if (!account || !user_id) return 0;
  {
    UserContext ctx(account);
    if (!ctx.ok()) return 0;
    if (ListMember(ctx.get(), account, user_id)) return 1;
  }
  if (isMultiDomain()) {
    UserContext system(nullptr);
    if (system.ok() && ListMember(system.get(), account, user_id)) return 1;
  }
  return 0;
}
