// The rights a user holds on a public cabinet's object, and the checks of the
// names a record refers to, through the directory service.
#include <cstring>
#include <string>

#include "common/acl/acl_object.h"
#include "common/directory/app/mdsap.h"
#include "host/account/account.h"
#include "host/base/strings.h"
#include "host/site/site.h"

namespace {

// The right bits 8, 4, 2, 1 of one class's group of four bits.
int ClassBits(std::int32_t word, int shift) {
  return static_cast<int>((word >> shift) & 0xf);
}

bool GroupExists(MDS_Context* ctx, const std::string& group) {
  if (group == "/") return true;
  MdsGroupInfoRecord info;
  return MDS_GroupInfoGet(ctx, group.c_str(), &info.rec) == kMdsOk;
}

}  // namespace

int MDS_OpenForUser(MDS_Context* ctx, const char* user_id) {
  const char* at = user_id ? std::strchr(user_id, '@') : nullptr;
  return MDS_Init(ctx, nullptr, at);
}

int ACL_Rights(MDS_Context* ctx, const ACL_Object& object, std::string_view user_id) {
  if (user_id.empty()) return 0;
  const std::string user(user_id);
  int rights = 0;
  if (MDSAP_IsGroupAdmin(ctx, user.c_str(), object.group.c_str(), "300") == 1) {
    rights |= ClassBits(object.permission, 12);
  }
  if (EqualsNoCase(object.owner, user)) rights |= 8 | (ClassBits(object.permission, 8) & 7);
  if (MDSAP_IsInGroupTree(ctx, user.c_str(), object.group.c_str()) == 1) {
    rights |= ClassBits(object.permission, 4);
  }
  for (const ACL_Entry& e : object.entries) {
    bool applies = false;
    switch (e.id_type) {
      case kAclEverybody:
        applies = true;
        break;
      case kAclUser:
      case kAclUser2:
        applies = e.access_id == user;
        break;
      case kAclGroup:
        applies = !e.access_id.empty() &&
                  MDSAP_IsInGroupTree(ctx, user.c_str(), e.access_id.c_str()) == 1;
        break;
      default:
        break;
    }
    if (applies) rights |= e.permission;
  }
  // A class or entry that matched but grants nothing leaves the user with the
  // rights of everybody else.
  if (rights == 0) rights = ClassBits(object.permission, 0);
  return rights;
}

int ACL_UserRights(const ACL_Object& object, std::string_view user_id) {
  if (user_id.empty()) return 0;
  const std::string user(user_id);
  int rights = 0;
  {
    MDS_Context ctx;
    if (MDS_OpenForUser(&ctx, user.c_str()) != 0) return 0;
    rights = ACL_Rights(&ctx, object, user);
    MDS_Close(&ctx);
  }
  if (isMultiDomain()) {
    MDS_Context ctx;
    if (MDS_OpenForUser(&ctx, nullptr) == 0) {
      rights |= ACL_Rights(&ctx, object, user);
      MDS_Close(&ctx);
    }
  }
  return rights;
}

int ACL_ObjectCheck(MDS_Context* ctx, const ACL_Object& object) {
  if (object.owner.starts_with('/')) {
    if (!GroupExists(ctx, object.owner)) return kAclUnknownGroup;
  } else if (!user_exist(object.owner)) {
    return kAclUnknownUser;
  }
  if (!object.group.empty() && !GroupExists(ctx, object.group)) return kAclUnknownGroup;
  return kAclOk;
}

int ACL_EntryCheck(MDS_Context* ctx, const ACL_Entry& entry) {
  switch (entry.id_type) {
    case kAclUser:
    case kAclUser2:
      return user_exist(entry.access_id) ? kAclOk : kAclUnknownUser;
    case kAclGroup:
      return !entry.access_id.empty() && GroupExists(ctx, entry.access_id) ? kAclOk
                                                                           : kAclUnknownGroup;
    default:
      return kAclOk;
  }
}
