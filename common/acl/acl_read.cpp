// Reading ".acl" and ".acl.ext": one object by a binary search over the
// sorted records, or all of them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/acl/acl_internal.h"
#include "common/acl/acl_layout.h"
#include "common/acl/acl_object.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"

namespace al = acl_layout;

namespace acl_internal {

ACL_Entry DecodeEntry(std::string_view bytes) {
  ACL_Entry e;
  e.access_id = al::Text(bytes, 0, 64);
  e.id_type = al::I16(bytes, 64);
  e.permission = al::I32(bytes, 68);
  return e;
}

void EncodeEntry(std::string& bytes, std::size_t at, const ACL_Entry& entry) {
  al::PutText(bytes, at, 64, entry.access_id);
  al::PutI16(bytes, at + 64, entry.id_type);
  al::PutI16(bytes, at + 66, 0);
  al::PutI32(bytes, at + 68, entry.permission);
}

std::string_view RecordName(std::string_view record) {
  return al::Text(record, 0, 256);
}

void TakeExtEntries(std::string_view ext, std::string_view name, std::size_t want,
                    std::vector<ACL_Entry>& entries) {
  for (std::size_t at = 0; at + kAclExtRecordSize <= ext.size() && entries.size() < want;
       at += kAclExtRecordSize) {
    std::string_view record = ext.substr(at, kAclExtRecordSize);
    if (RecordName(record) != name) continue;
    for (std::size_t i = 0; i < kAclExtEntries && entries.size() < want; ++i) {
      entries.push_back(DecodeEntry(record.substr(256 + i * kAclEntrySize, kAclEntrySize)));
    }
  }
}

bool ReadWhole(int fd, std::string& out) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
  return ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), out);
}

ACL_Object Assemble(std::string_view record, std::string_view ext) {
  ACL_Object object = ACL_DecodeRecord(record);
  std::size_t count = ACL_DeclaredCount(record);
  if (count > kAclMainEntries) TakeExtEntries(ext, object.name, count, object.entries);
  object.entries.resize(count);  // what the files lack stays empty
  return object;
}

}  // namespace acl_internal

using namespace acl_internal;

namespace {

// Opens an ACL file for reading under a shared lock. 0, 5 when it is
// missing, 1 when it cannot be opened or locked.
int OpenShared(const std::string& path, UniqueFd& fd) {
  fd = UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.ok()) return errno == ENOENT ? kAclNotFound : kAclReadError;
  while (flock(fd.get(), LOCK_SH) != 0) {
    if (errno != EINTR) return kAclReadError;
  }
  return kAclOk;
}

// The extension's entries of one object, read record by record.
bool ReadExtEntries(const std::string& path, std::string_view name, std::size_t want,
                    std::vector<ACL_Entry>& entries) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.ok()) return errno == ENOENT;  // no extension: the entries stay empty
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return false;
  const std::uint64_t records = static_cast<std::uint64_t>(st.st_size) / kAclExtRecordSize;
  std::string bytes;
  for (std::uint64_t i = 0; i < records && entries.size() < want; ++i) {
    if (!ReadAt(fd.get(), i * kAclExtRecordSize, 256, bytes)) return false;
    if (RecordName(bytes) != name) continue;
    if (!ReadAt(fd.get(), i * kAclExtRecordSize, kAclExtRecordSize, bytes)) return false;
    TakeExtEntries(bytes, name, want, entries);
  }
  return true;
}

}  // namespace

ACL_Object ACL_DecodeRecord(std::string_view bytes) {
  ACL_Object object;
  object.name = al::Text(bytes, 0, 256);
  object.owner = al::Text(bytes, 256, 64);
  object.group = al::Text(bytes, 320, 64);
  object.permission = al::I32(bytes, 384);
  object.room = al::I16(bytes, 388);
  std::size_t held = std::min(ACL_DeclaredCount(bytes), kAclMainEntries);
  for (std::size_t i = 0; i < held; ++i) {
    object.entries.push_back(
        DecodeEntry(bytes.substr(std::min(bytes.size(), 392 + i * kAclEntrySize), kAclEntrySize)));
  }
  return object;
}

std::size_t ACL_DeclaredCount(std::string_view record) {
  std::int16_t count = al::I16(record, 390);
  return count < 0 ? 0 : static_cast<std::size_t>(count);
}

std::string ACL_EncodeRecord(const ACL_Object& object) {
  std::string bytes(kAclRecordSize, '\0');
  al::PutText(bytes, 0, 256, object.name);
  al::PutText(bytes, 256, 64, object.owner);
  al::PutText(bytes, 320, 64, object.group);
  al::PutI32(bytes, 384, object.permission);
  al::PutI16(bytes, 388, static_cast<std::int16_t>(kAclMainEntries));
  std::size_t count = std::min<std::size_t>(object.entries.size(), kAclMaxEntries);
  al::PutI16(bytes, 390, static_cast<std::int16_t>(count));
  for (std::size_t i = 0; i < std::min(count, kAclMainEntries); ++i) {
    EncodeEntry(bytes, 392 + i * kAclEntrySize, object.entries[i]);
  }
  return bytes;
}

int ACL_ObjectGet(const std::string& acl_path, std::string_view name, ACL_Object& object) {
  object = ACL_Object{};
  if (acl_path.empty()) return kAclBadIndex;
  UniqueFd fd;
  if (int r = OpenShared(acl_path, fd); r != kAclOk) return r;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return kAclReadError;
  const std::uint64_t records = static_cast<std::uint64_t>(st.st_size) / kAclRecordSize;
  if (st.st_size == 0) return kAclOk;
  // The records are sorted by name (strcmp); only names are read on the way.
  std::uint64_t lo = 0;
  std::uint64_t hi = records;
  std::string bytes;
  while (lo < hi) {
    std::uint64_t mid = lo + (hi - lo) / 2;
    if (!ReadAt(fd.get(), mid * kAclRecordSize, 256, bytes)) return kAclReadError;
    int order = RecordName(bytes).compare(name);
    if (order == 0) {
      if (!ReadAt(fd.get(), mid * kAclRecordSize, kAclRecordSize, bytes)) return kAclReadError;
      object = ACL_DecodeRecord(bytes);
      std::size_t count = ACL_DeclaredCount(bytes);
      if (count > kAclMainEntries &&
          !ReadExtEntries(DC_AclExtName(acl_path), object.name, count, object.entries)) {
        object = ACL_Object{};
        return kAclReadError;
      }
      object.entries.resize(count);
      return kAclOk;
    }
    if (order < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return kAclNotFound;
}

int ACL_ObjectList(const std::string& acl_path, std::vector<ACL_Object>& objects) {
  objects.clear();
  if (acl_path.empty()) return kAclBadIndex;
  UniqueFd fd;
  if (int r = OpenShared(acl_path, fd); r != kAclOk) return r;
  std::string main;
  if (!ReadWhole(fd.get(), main)) return kAclReadError;
  std::string ext;
  UniqueFd ext_fd(open(DC_AclExtName(acl_path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (ext_fd.ok() && !ReadWhole(ext_fd.get(), ext)) return kAclReadError;
  try {
    for (std::size_t at = 0; at + kAclRecordSize <= main.size(); at += kAclRecordSize) {
      objects.push_back(Assemble(std::string_view(main).substr(at, kAclRecordSize), ext));
    }
  } catch (const std::bad_alloc&) {
    objects.clear();
    return kAclNoLock;
  }
  return kAclOk;
}

void ACL_Dump(const ACL_Object& object) {
  std::printf("ACL_Physic Object Name:%s\n", object.name.c_str());
  std::printf("\tOwner:%s\n", object.owner.c_str());
  std::printf("\tGroup:%s\n", object.group.c_str());
  std::printf("\tPermission:%o\n", static_cast<unsigned>(object.permission));
  std::size_t held = std::min(object.entries.size(), kAclMainEntries);
  for (std::size_t i = 0; i < held; ++i) {
    const ACL_Entry& e = object.entries[i];
    std::printf("\t\tAccessID:%s\n", e.access_id.c_str());
    std::printf("\t\tIDType:%d\n", e.id_type);
    std::printf("\t\tpermission:%o\n", static_cast<unsigned>(e.permission));
  }
}
