#include "common/cabinet/permission/dc_permission.h"

#include <unistd.h>

#include "common/acl/useracl/useracl.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/account/privileges.h"
#include "host/account/session.h"
#include "host/site/domain.h"

namespace {

constexpr std::size_t kResourceMax = 2048;
constexpr int kAclFindLookups = 21;

}  // namespace

int DC_GrantBits(int grant_bits) {
  int bits = 0;
  if (grant_bits & kMaclRead) bits |= DC_PERM_READ;
  if (grant_bits & kMaclWrite) bits |= DC_PERM_WRITE;
  if (grant_bits & kMaclManage) bits |= DC_PERM_MANAGE;
  return bits;
}

int DC_Permission(std::string_view user_id, std::string_view base, std::string_view dir,
                  std::string_view name, int must_exist) {
  const DC_BaseKind kind = DC_BaseKindOf(base);
  if (kind == DC_BaseKind::kNone) return 0;
  if (dir.find("..") != std::string_view::npos || name.find("..") != std::string_view::npos) {
    return 0;
  }
  std::optional<std::string> norm_dir = DC_PathNormalize(dir, name);
  if (!norm_dir) return 0;
  const std::string file_name = DC_FileName(name).value_or("");
  const std::string resource = DC_PathJoin(*norm_dir, file_name, kResourceMax);

  if (must_exist == 1 && access((DC_Dir(base, "") + resource).c_str(), F_OK) != 0) return 0;
  if (!file_name.empty()) {
    if (DC_ReservedName(file_name) != 0) return 0;
    if (DC_IsLinkDir(base, *norm_dir) == 0) return 0;
  }

  if (kind == DC_BaseKind::kShared || kind == DC_BaseKind::kOwn) {
    if (DC_IsOwner(user_id, base) == 0) return DC_PERM_ALL;
    const std::string owner = MUSER_IDNormalize(DC_BaseUser(base), session().domain);
    std::int32_t bits = 0;
    if (MACL_UserPerm(owner, user_id, 1, *norm_dir, kMaclMatchInherit, bits) != kMaclOk) return 0;
    return DC_GrantBits(bits);
  }

  const std::string domain(DC_BaseDomain(base));
  if (MAU_PrivilegeCheckByUID(user_id, domain.c_str(), "A10") == 1) return DC_PERM_ALL;
  ACL_Object object;
  if (DC_AclFind(base, resource, object) != 0) return 0;
  return ACL_UserRights(object, user_id);
}

std::string DC_AclPath(std::string_view base, std::string_view dir, std::string_view name) {
  std::string folder;
  std::optional<std::string> norm = DC_PathNormalize(dir);
  if (name.empty() && norm && *norm != "/") {
    folder = DC_Dir(base, DC_SplitPath(*norm).dir);
  } else {
    folder = DC_Dir(base, dir);
  }
  if (folder.empty()) return folder;
  if (!folder.ends_with('/')) folder += '/';
  return folder + ".acl";
}

int DC_AclFind(std::string_view base, std::string_view path, ACL_Object& object) {
  const std::string acl_file = DC_AclPath(base, "/", "");
  if (acl_file.empty()) return -1;
  std::string current(path);
  for (int lookup = 0; lookup < kAclFindLookups; ++lookup) {
    if (ACL_ObjectGet(acl_file, current, object) == kAclOk) return 0;
    if (current == "/") break;
    current = DC_SplitPath(current).dir;
  }
  object = ACL_Object{};
  return -1;
}

int DC_NewItemPermission(std::string_view user_id, std::string_view base, std::string_view dir) {
  std::string probe(dir);
  probe += "/imtrashdir0123456789permcheck_";
  return DC_Permission(user_id, base, probe, "", 0);
}
