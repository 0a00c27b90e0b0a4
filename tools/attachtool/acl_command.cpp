// attachtool acl-set and grant: writing a public cabinet's record and a
// user's grant from a shell (operators, the demo).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "attachtool.h"
#include "common/acl/acl_object.h"
#include "common/acl/useracl/useracl.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/permission/dc_permission.h"
#include "tool_session.h"

namespace {

bool Number(std::string_view text, int base, long& out) {
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  out = std::strtol(s.c_str(), &end, base);
  return !s.empty() && *end == '\0' && errno == 0;
}

// "TYPE:ID:PERM" (IDType in decimal, the permission in hexadecimal).
bool Entry(std::string_view text, ACL_Entry& entry) {
  std::size_t first = text.find(':');
  std::size_t last = text.rfind(':');
  if (first == std::string_view::npos || first == last) return false;
  long type = 0;
  long perm = 0;
  if (!Number(text.substr(0, first), 10, type) || !Number(text.substr(last + 1), 16, perm)) {
    return false;
  }
  entry.id_type = static_cast<std::int16_t>(type);
  entry.access_id = std::string(text.substr(first + 1, last - first - 1));
  entry.permission = static_cast<std::int32_t>(perm);
  return true;
}

}  // namespace

// acl-set BASE OBJECT OWNER GROUP PERM [TYPE:ID:PERM...]
int AclSetCommand(int argc, char** argv) {
  if (argc < 6) return UsageError("acl-set");
  std::string_view base = argv[1];
  if (DC_IsPublicBase(base) != 0 || DC_BaseKindOf(base) == DC_BaseKind::kNone) {
    std::fprintf(stderr, "attachtool acl-set: %s is not a public cabinet\n", argv[1]);
    return kExitUsage;
  }
  ACL_Object object;
  object.name = argv[2];
  object.owner = argv[3];
  object.group = argv[4];
  long perm = 0;
  if (!Number(argv[5], 16, perm)) return UsageError("acl-set");
  object.permission = static_cast<std::int32_t>(perm);
  for (int i = 6; i < argc; ++i) {
    ACL_Entry entry;
    if (!Entry(argv[i], entry)) return UsageError("acl-set");
    object.entries.push_back(entry);
  }
  SetToolSession(nullptr);
  std::string domain_assignment(base.size() > 1 ? base : std::string_view());
  MdsSession dir(nullptr, domain_assignment.empty() ? nullptr : domain_assignment.c_str());
  if (!dir.ok()) {
    std::fprintf(stderr, "attachtool acl-set: the directory could not be opened (see the logs)\n");
    return kExitUsage;
  }
  int result =
      ACL_ObjectSet(dir.get(), DC_AclPath(base, "/", ""), object, kAclSetReplace | kAclSetInsert);
  std::printf("result\t%d\n", result);
  return result == kAclOk ? 0 : 1;
}

// grant OWNER RESOURCE ACCESS_ID SET_ID [INHERIT]
int GrantCommand(int argc, char** argv) {
  if (argc < 5 || argc > 6) return UsageError("grant");
  MACL_Record record;
  record.resource = argv[2];
  record.access_id = argv[3];
  record.kind = kMaclGrant;
  long set = 0;
  long inherit = 1;
  if (!Number(argv[4], 10, set) || (argc == 6 && !Number(argv[5], 10, inherit))) {
    return UsageError("grant");
  }
  record.set_id = static_cast<std::int32_t>(set);
  record.inherit = inherit != 0 ? 1 : 0;
  std::string path;
  MACL_GetAclFile(argv[1], path);
  MACL_Handle handle;
  int result = MACL_Open(handle, path, kMaclCreate | kMaclReadWrite);
  if (result == kMaclOk) result = MACL_RecordAdd(handle, record, 1);
  if (result == kMaclDuplicate) {
    result = MACL_RecordUpdate(handle, record.resource, record.access_id, record,
                               kMaclRecSetId | kMaclRecInherit);
  }
  MACL_Close(handle);
  std::printf("result\t%d\n", result);
  return result == kMaclOk ? 0 : 1;
}
