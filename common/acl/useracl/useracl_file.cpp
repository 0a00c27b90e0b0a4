// The ".useracl" file: opening and locking it, its header, and the set area.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/acl/acl_layout.h"
#include "common/acl/useracl/useracl.h"
#include "common/acl/useracl/useracl_internal.h"
#include "host/files/files.h"
#include "host/files/log.h"

namespace al = acl_layout;

namespace macl_internal {

std::optional<std::uint64_t> FileSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> RecordsStart(const MACL_Handle& handle, std::uint64_t size) {
  // Without a header (an empty file opened for reading) there are no sets
  // and no records.
  if (!handle.header_ok)
    return size < kMaclHeaderSize ? std::optional<std::uint64_t>(size) : std::nullopt;
  if (handle.header.blocks < 0) return std::nullopt;
  std::uint64_t start =
      kMaclHeaderSize + static_cast<std::uint64_t>(handle.header.blocks) * kMaclBlockSize;
  if (start > size) return std::nullopt;
  return start;
}

std::optional<std::uint64_t> RecordCount(const MACL_Handle& handle) {
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  if (!size) return std::nullopt;
  std::optional<std::uint64_t> start = RecordsStart(handle, *size);
  if (!start) return std::nullopt;
  return (*size - *start) / kMaclRecordSize;
}

bool Writable(const MACL_Handle& handle) {
  return handle.fd >= 0 && !(handle.flags & kMaclReadOnlyHandle) && (handle.flags & kMaclReadWrite);
}

}  // namespace macl_internal

using namespace macl_internal;

namespace {

void Log(const char* text) {
  LOG_FileLine(ErrorLogPath(), "%s", text);
}

int HeaderSet(MACL_Handle& handle) {
  std::string bytes(kMaclHeaderSize, '\0');
  al::PutI32(bytes, 0, handle.header.version);
  al::PutI32(bytes, 4, handle.header.blocks);
  if (!WriteAt(handle.fd, 0, bytes)) {
    Log("MACL s_HeaderSet() - write header failed");
    return kMaclIoError;
  }
  std::string sets(static_cast<std::size_t>(handle.header.blocks) * kMaclBlockSize, '\0');
  if (!WriteAt(handle.fd, kMaclHeaderSize, sets)) {
    Log("MACL s_HeaderSet() - write privilege sets failed");
    return kMaclIoError;
  }
  return kMaclOk;
}

int HeaderGet(MACL_Handle& handle) {
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  if (size && *size >= kMaclHeaderSize) {
    std::string bytes;
    if (!ReadAt(handle.fd, 0, kMaclHeaderSize, bytes)) {
      Log("MACL s_HeaderGet() - Get header failed");
      return kMaclIoError;
    }
    handle.header.version = al::I32(bytes, 0);
    handle.header.blocks = al::I32(bytes, 4);
    handle.header_ok = true;
    return kMaclOk;
  }
  if (!(handle.flags & kMaclReadWrite)) {
    Log("MACL s_HeaderGet() - Create header failed, permission denied");
    return kMaclIoError;
  }
  handle.header = MACL_Header{1, 1};
  int r = HeaderSet(handle);
  handle.header_ok = r == kMaclOk;
  return r;
}

// The stored set area's bytes; -2 when the header does not fit the file.
int ReadSetArea(MACL_Handle& handle, std::string& bytes) {
  if (handle.fd < 0) return kMaclBadArgument;
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  if (!size || !RecordsStart(handle, *size)) return kMaclIoError;
  std::uint64_t length =
      static_cast<std::uint64_t>(std::max(handle.header.blocks, 0)) * kMaclBlockSize;
  if (!ReadAt(handle.fd, kMaclHeaderSize, length, bytes)) return kMaclIoError;
  return kMaclOk;
}

std::uint64_t SetOffset(std::size_t slot) {
  return kMaclHeaderSize + slot * kMaclSetSize;
}

// The slot of the stored set with `id` (any class but free), or -1.
long FindSlot(const std::string& area, std::int32_t id) {
  for (std::size_t i = 0; i * kMaclSetSize < area.size(); ++i) {
    std::string_view one(area.data() + i * kMaclSetSize, kMaclSetSize);
    if (al::U8(one, 264) != kMaclSetFree && al::I32(one, 256) == id) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

MACL_Handle::~MACL_Handle() {
  MACL_Close(*this);
}

const std::vector<MACL_PrivSet>& MACL_BuiltInSets() {
  // Their names are the keys of the page texts that name them.
  static const std::vector<MACL_PrivSet> sets = {
      {"SYS_PRVLG_TTL_ADM", 1, 0x111, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_RDONLY", 2, 0x010, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_RDWR", 3, 0x110, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_NONE", 4, 0x011, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_NONE", 5, 0x101, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_NONE", 6, 0x001, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_NONE", 7, 0x100, kMaclSetBuiltIn, 0xff},
      {"SYS_PRVLG_TTL_NONE", 8, 0x000, kMaclSetBuiltIn, 0xff},
  };
  return sets;
}

MACL_PrivSet MACL_DecodeSet(std::string_view bytes) {
  MACL_PrivSet set;
  set.name = al::Text(bytes, 0, 256);
  set.id = al::I32(bytes, 256);
  set.bits = al::I32(bytes, 260);
  set.cls = al::U8(bytes, 264);
  set.flags = al::U8(bytes, 265);
  return set;
}

std::string MACL_EncodeSet(const MACL_PrivSet& set) {
  std::string bytes(kMaclSetSize, '\0');
  al::PutText(bytes, 0, 256, set.name);
  al::PutI32(bytes, 256, set.id);
  al::PutI32(bytes, 260, set.bits);
  al::PutU8(bytes, 264, set.cls);
  al::PutU8(bytes, 265, set.flags);
  return bytes;
}

int MACL_Open(MACL_Handle& handle, const std::string& path, int flags) {
  MACL_Close(handle);
  handle.header = MACL_Header{};
  handle.header_ok = false;
  handle.flags = flags;
  if (path.empty()) return kMaclBadArgument;
  int mode = (flags & kMaclReadWrite) ? O_RDWR : O_RDONLY;
  if (flags & kMaclCreate) mode |= O_CREAT;
  if (flags & kMaclTruncate) mode |= O_TRUNC;
  int fd = open(path.c_str(), mode | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    LOG_FileLine(ErrorLogPath(), "MACL_Open - open failed (%s)", path.c_str());
    return kMaclIoError;
  }
  handle.fd = fd;
  MFILE_Lock(fd, (flags & kMaclReadWrite) ? kLockExclusive : kLockShared);
  HeaderGet(handle);  // a failure is logged; the handle stays open
  return kMaclOk;
}

void MACL_Close(MACL_Handle& handle) {
  if (handle.fd < 0) return;
  MFILE_Lock(handle.fd, kLockUnlock);
  close(handle.fd);
  handle.fd = -1;
}

int MACL_SetsRead(MACL_Handle& handle, std::vector<MACL_PrivSet>& sets) {
  sets.clear();
  std::string area;
  if (int r = ReadSetArea(handle, area); r != kMaclOk) return r;
  for (std::size_t i = 0; i * kMaclSetSize < area.size(); ++i) {
    sets.push_back(MACL_DecodeSet(std::string_view(area).substr(i * kMaclSetSize, kMaclSetSize)));
  }
  return kMaclOk;
}

int MACL_SetsList(MACL_Handle& handle, std::vector<MACL_PrivSet>& sets, int with_built_in,
                  std::uint8_t class_mask) {
  std::vector<MACL_PrivSet> stored;
  sets.clear();
  if (int r = MACL_SetsRead(handle, stored); r != kMaclOk) return r;
  if (with_built_in == 1) sets = MACL_BuiltInSets();
  for (MACL_PrivSet& set : stored) {
    if (set.cls & class_mask) sets.push_back(std::move(set));
  }
  return kMaclOk;
}

int MACL_SetGet(MACL_Handle& handle, std::int32_t id, MACL_PrivSet& set) {
  for (const MACL_PrivSet& b : MACL_BuiltInSets()) {
    if (b.id == id) {
      set = b;
      return kMaclOk;
    }
  }
  std::vector<MACL_PrivSet> stored;
  if (int r = MACL_SetsRead(handle, stored); r != kMaclOk) return r;
  for (const MACL_PrivSet& s : stored) {
    if ((s.cls == kMaclSetBuiltIn || s.cls == kMaclSetStored) && s.id == id) {
      set = s;
      return kMaclOk;
    }
  }
  return kMaclNotFound;
}

int MACL_SetAdd(MACL_Handle& handle, MACL_PrivSet& set) {
  if (handle.fd < 0) return kMaclBadArgument;
  if (!Writable(handle)) return kMaclReadOnly;
  std::string area;
  if (int r = ReadSetArea(handle, area); r != kMaclOk) return r;
  std::int32_t largest = kMaclFirstStoredId - 1;
  long free_slot = -1;
  for (std::size_t i = 0; i * kMaclSetSize < area.size(); ++i) {
    std::string_view one(area.data() + i * kMaclSetSize, kMaclSetSize);
    std::uint8_t cls = al::U8(one, 264);
    if (cls == kMaclSetFree) {
      if (free_slot < 0) free_slot = static_cast<long>(i);
    } else {
      largest = std::max(largest, al::I32(one, 256));
    }
  }
  if (free_slot < 0 || largest == INT32_MAX) return kMaclIoError;
  set.id = largest + 1;
  if (set.cls == kMaclSetFree) set.cls = kMaclSetStored;
  if (!WriteAt(handle.fd, SetOffset(static_cast<std::size_t>(free_slot)), MACL_EncodeSet(set))) {
    return kMaclIoError;
  }
  return kMaclOk;
}

int MACL_SetUpdate(MACL_Handle& handle, std::int32_t id, const MACL_PrivSet& values, int fields) {
  if (handle.fd < 0) return kMaclBadArgument;
  if (!Writable(handle)) return kMaclReadOnly;
  std::string area;
  if (int r = ReadSetArea(handle, area); r != kMaclOk) return r;
  long slot = FindSlot(area, id);
  if (slot < 0) return kMaclNotFound;
  MACL_PrivSet set = MACL_DecodeSet(
      std::string_view(area).substr(static_cast<std::size_t>(slot) * kMaclSetSize, kMaclSetSize));
  if (fields & kMaclSetName) set.name = values.name;
  if (fields & kMaclSetBits) set.bits = values.bits;
  if (fields & kMaclSetClass) set.cls = values.cls;
  if (fields & kMaclSetFlags) set.flags = values.flags;
  if (!WriteAt(handle.fd, SetOffset(static_cast<std::size_t>(slot)), MACL_EncodeSet(set))) {
    return kMaclIoError;
  }
  return kMaclOk;
}

int MACL_SetDelete(MACL_Handle& handle, std::int32_t id) {
  MACL_PrivSet values;
  values.cls = kMaclSetDeleted;
  return MACL_SetUpdate(handle, id, values, kMaclSetClass);
}
