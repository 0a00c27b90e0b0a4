// A user's ".useracl" as the cabinet asks it: the bits another user holds on
// a resource, and keeping the records in step when resources are renamed or
// deleted.
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "common/acl/useracl/useracl.h"
#include "common/acl/useracl/useracl_internal.h"
#include "host/account/account.h"
#include "host/files/log.h"

using namespace macl_internal;

namespace {

// Changes every selected record (deleted ones included) at its place: the
// resource itself, and with subtree 1 the resources below it at a "/". 0
// when at least one record changed, else -4; failed writes are logged.
int BatchChange(std::string_view owner_id, std::string_view selection, int subtree,
                const char* what, const std::function<void(MACL_Record&)>& change) {
  if (owner_id.empty() || selection.empty()) return kMaclBadArgument;
  std::string path;
  MACL_GetAclFile(owner_id, path);
  MACL_Handle handle;
  if (int r = MACL_Open(handle, path, kMaclCreate | kMaclReadWrite); r != kMaclOk) return r;
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  std::optional<std::uint64_t> start = size ? RecordsStart(handle, *size) : std::nullopt;
  if (!start) return kMaclIoError;
  bool changed = false;
  ForEachRecord(handle, [&](std::uint64_t i, MACL_Record rec) {
    bool selected =
        rec.resource == selection || (subtree == 1 && rec.resource.size() > selection.size() &&
                                      std::string_view(rec.resource).starts_with(selection) &&
                                      rec.resource[selection.size()] == '/');
    if (!selected) return true;
    change(rec);
    if (WriteAt(handle.fd, *start + i * kMaclRecordSize, MACL_EncodeRecord(rec))) {
      changed = true;
    } else {
      LOG_FileLine(ErrorLogPath(), "%s failed(ret:%d, %s, idx:%llu)!", what, kMaclIoError,
                   rec.resource.c_str(), static_cast<unsigned long long>(i));
    }
    return true;
  });
  return changed ? kMaclOk : kMaclNotFound;
}

}  // namespace

int MACL_GetAclFile(std::string_view user_id, std::string& path) {
  path = user_home(user_id) + "/.useracl";
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return kMaclOk;
  if (errno != ENOENT) {
    LOG_FileLine(ErrorLogPath(), "MACL_GetAclFile() - get acl file failed (%s)", path.c_str());
  }
  return kMaclNotFound;
}

int MACL_UserPerm(std::string_view owner_id, std::string_view user_id, int retry_everyone,
                  std::string_view resource, int mode, std::int32_t& bits) {
  bits = 0;
  if (owner_id.empty() || user_id.empty() || resource.empty()) return kMaclBadArgument;
  // An owner that is not a well-formed id has no home of its own.
  if (!IsValidUserId(owner_id)) return kMaclNotFound;
  std::string path;
  if (MACL_GetAclFile(owner_id, path) != kMaclOk) return kMaclNotFound;
  MACL_Handle handle;
  if (int r = MACL_Open(handle, path, kMaclReadOnlyHandle); r != kMaclOk) return r;
  MACL_Record record;
  MACL_PrivSet set;
  int r = MACL_Lookup(handle, resource, mode, user_id, record, set, 1);
  if (r == kMaclOk && retry_everyone == 1 && set.bits == 0) {
    r = MACL_Lookup(handle, resource, mode, "*", record, set, 1);
  }
  MACL_Close(handle);
  bits = set.bits;
  return r;
}

int MACL_BatchRsrcIDUpdate(std::string_view owner_id, std::string_view old_resource,
                           std::string_view new_resource, int subtree) {
  if (new_resource.empty()) return kMaclBadArgument;
  const std::string replacement(new_resource);
  const std::size_t old_size = old_resource.size();
  return BatchChange(owner_id, old_resource, subtree, "MACL_BatchRsrcIDUpdate() - Update",
                     [&](MACL_Record& rec) {
                       rec.resource = (replacement + rec.resource.substr(old_size)).substr(0, 511);
                     });
}

int MACL_BatchRsrcDel(std::string_view owner_id, std::string_view resource, int subtree) {
  return BatchChange(owner_id, resource, subtree, "MACL_BatchRsrcDel() - Delete",
                     [](MACL_Record& rec) { rec.kind = kMaclDeleted; });
}
