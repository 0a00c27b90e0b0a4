// The grants file ".useracl" in a user's home: named privilege sets (bundles
// of permission bits) and records that grant one set on one resource of the
// user's cabinet (a directory path) to the user ids that match a pattern.
//
// Layout (integers 32-bit little-endian, texts NUL-padded fields):
//   0                 header, 32 bytes: version (1), block count N, 24 zero
//   32                N blocks of 32 set slots of 288 bytes
//   32 + N * 9216     records of 1024 bytes, in the order they were added
// A trailing partial record is ignored. The file is read and written in
// place, at these fixed offsets, under a flock held while the handle is open
// (shared for readers, exclusive for writers); nothing is ever removed: a set
// or record is marked deleted.
//
// A header whose block count does not fit the file (negative, or a set area
// that would end past the file's end) makes the file unreadable: reads answer
// -2 and writes refuse, so a damaged file is never extended or overwritten.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Result codes.
inline constexpr int kMaclOk = 0;
inline constexpr int kMaclBadArgument = -1;
inline constexpr int kMaclIoError = -2;
inline constexpr int kMaclReadOnly = -3;
inline constexpr int kMaclNotFound = -4;
inline constexpr int kMaclDuplicate = -5;

// Permission bits of a set.
inline constexpr std::int32_t kMaclRead = 0x010;
inline constexpr std::int32_t kMaclWrite = 0x100;
inline constexpr std::int32_t kMaclManage = 0x001;

// Set classes (a bit mask when listing).
inline constexpr std::uint8_t kMaclSetFree = 0;
inline constexpr std::uint8_t kMaclSetBuiltIn = 1;
inline constexpr std::uint8_t kMaclSetStored = 2;
inline constexpr std::uint8_t kMaclSetDeleted = 4;

// Record kinds (a bit mask when listing).
inline constexpr std::uint8_t kMaclGrant = 1;
inline constexpr std::uint8_t kMaclDeleted = 4;

// Sizes of the layout.
inline constexpr std::size_t kMaclHeaderSize = 32;
inline constexpr std::size_t kMaclSetSize = 288;
inline constexpr std::size_t kMaclSetsPerBlock = 32;
inline constexpr std::size_t kMaclBlockSize = kMaclSetSize * kMaclSetsPerBlock;  // 9216
inline constexpr std::size_t kMaclRecordSize = 1024;
inline constexpr std::int32_t kMaclFirstStoredId = 257;

struct MACL_Header {
  std::int32_t version = 0;
  std::int32_t blocks = 0;  // N
};

struct MACL_PrivSet {
  std::string name;  // 255 bytes at most
  std::int32_t id = 0;
  std::int32_t bits = 0;   // kMaclRead | kMaclWrite | kMaclManage
  std::uint8_t cls = 0;    // kMaclSet...
  std::uint8_t flags = 0;  // 0xff in the built-in sets
};

struct MACL_Record {
  std::string resource;   // a cabinet directory path, 511 bytes at most
  std::string access_id;  // a shell pattern on user ids, 255 bytes at most
  std::int32_t set_id = 0;
  std::uint8_t kind = 0;   // kMaclGrant or kMaclDeleted
  std::uint8_t attr1 = 0;  // stored and compared only
  std::uint8_t attr2 = 0;
  std::uint8_t has_note = 0;
  std::string note;          // 127 bytes at most
  std::uint8_t inherit = 0;  // non-zero: also covers the resources below
};

// Flags of MACL_Open.
inline constexpr int kMaclCreate = 1;          // create when missing (mode 0600)
inline constexpr int kMaclReadOnlyHandle = 2;  // every write answers -3
inline constexpr int kMaclReadWrite = 4;       // read-write, exclusive lock
inline constexpr int kMaclTruncate = 8;

// An open ".useracl": the header as read, the descriptor (-1 when closed)
// and the flags. Closing (or destroying) it releases the lock.
struct MACL_Handle {
  MACL_Header header;
  int fd = -1;
  int flags = 0;
  bool header_ok = false;  // the header was read or written

  MACL_Handle() = default;
  MACL_Handle(const MACL_Handle&) = delete;
  MACL_Handle& operator=(const MACL_Handle&) = delete;
  ~MACL_Handle();
};

// Flags of a filter: which fields of its record must match.
inline constexpr std::uint8_t kMaclFilterResource = 0x01;
inline constexpr std::uint8_t kMaclFilterAccessId = 0x02;
inline constexpr std::uint8_t kMaclFilterSetId = 0x04;
inline constexpr std::uint8_t kMaclFilterKind = 0x08;  // shares a bit
inline constexpr std::uint8_t kMaclFilterAttr1 = 0x10;
inline constexpr std::uint8_t kMaclFilterAttr2 = 0x20;
inline constexpr std::uint8_t kMaclFilterNote = 0x40;  // the note-present byte
inline constexpr std::uint8_t kMaclFilterInherit = 0x80;

struct MACL_Filter {
  std::uint8_t flags = 0;
  MACL_Record record;
};

// Fields of MACL_SetUpdate.
inline constexpr int kMaclSetName = 0x01;
inline constexpr int kMaclSetBits = 0x04;
inline constexpr int kMaclSetClass = 0x08;
inline constexpr int kMaclSetFlags = 0x10;

// Fields of MACL_RecordUpdate.
inline constexpr int kMaclRecSetId = 0x04;
inline constexpr int kMaclRecKind = 0x08;
inline constexpr int kMaclRecAttr1 = 0x10;
inline constexpr int kMaclRecAttr2 = 0x20;
inline constexpr int kMaclRecNote = 0x40;
inline constexpr int kMaclRecInherit = 0x80;

// Modes of MACL_RecordMatch.
inline constexpr int kMaclMatchExact = 1;
inline constexpr int kMaclMatchInherit = 3;  // grants on a folder above count too

// The eight built-in sets (never stored), ids 1 to 8.
const std::vector<MACL_PrivSet>& MACL_BuiltInSets();

// "<home of user>/.useracl" in `path`; 0 when it exists, -4 when it is
// missing or cannot be reached (the second case is logged).
int MACL_GetAclFile(std::string_view user_id, std::string& path);

// Opens and locks the file and reads its header (or, with kMaclReadWrite,
// writes one into a file shorter than a header). 0 once the file is open, also
// when the header could not be read (logged); -1 for an empty path; -2 when
// the open fails (logged).
int MACL_Open(MACL_Handle& handle, const std::string& path, int flags);
void MACL_Close(MACL_Handle& handle);

// The stored set area, N * 32 slots (free ones included).
int MACL_SetsRead(MACL_Handle& handle, std::vector<MACL_PrivSet>& sets);
// The stored sets whose class shares a bit with `class_mask`, after the
// built-in sets when `with_built_in` is 1.
int MACL_SetsList(MACL_Handle& handle, std::vector<MACL_PrivSet>& sets, int with_built_in,
                  std::uint8_t class_mask);
// The set with `id`: a built-in one, or a stored one of class 1 or 2.
int MACL_SetGet(MACL_Handle& handle, std::int32_t id, MACL_PrivSet& set);
// Stores `set` in the first free slot with a new id (one more than the
// largest stored, at least 257), which is written back to `set.id`. -2 when
// no slot is free (the area does not grow).
int MACL_SetAdd(MACL_Handle& handle, MACL_PrivSet& set);
int MACL_SetUpdate(MACL_Handle& handle, std::int32_t id, const MACL_PrivSet& values, int fields);
int MACL_SetDelete(MACL_Handle& handle, std::int32_t id);

int MACL_RecordsRead(MACL_Handle& handle, std::vector<MACL_Record>& records);
int MACL_RecordsFilter(MACL_Handle& handle, std::vector<MACL_Record>& records,
                       const MACL_Filter& filter);
int MACL_RecordsByKind(MACL_Handle& handle, std::vector<MACL_Record>& records, std::uint8_t mask);
// Appends a record; with refuse_duplicate 1, a record that is not deleted
// with the same resource and access id answers -5 instead.
int MACL_RecordAdd(MACL_Handle& handle, const MACL_Record& record, int refuse_duplicate);
// The first record, not deleted, with exactly this resource and access id.
int MACL_RecordGet(MACL_Handle& handle, std::string_view resource, std::string_view access_id,
                   MACL_Record& record);
// The active grant for `user_id` on `resource`: one on the resource itself
// whose pattern matches the user; else, in mode 3, the inheriting grant on
// the nearest folder above it (a folder covers itself and what lies below
// it at a "/": a grant on /a never covers /ab; one on "/" covers all). -4
// when none.
int MACL_RecordMatch(MACL_Handle& handle, std::string_view resource, int mode,
                     std::string_view user_id, MACL_Record& record);
int MACL_RecordUpdate(MACL_Handle& handle, std::string_view resource, std::string_view access_id,
                      const MACL_Record& values, int fields);
int MACL_RecordDelete(MACL_Handle& handle, std::string_view resource, std::string_view access_id);

// MACL_RecordMatch (by_pattern 1) or MACL_RecordGet (0), then the record's set.
int MACL_Lookup(MACL_Handle& handle, std::string_view resource, int mode, std::string_view user_id,
                MACL_Record& record, MACL_PrivSet& set, int by_pattern);

// The permission bits `user_id` holds on `resource` of `owner_id`'s cabinet.
// With retry_everyone 1, a grant of no bits is looked up again for the user
// id "*". 0, or the failing lookup's code (bits are then those last found).
int MACL_UserPerm(std::string_view owner_id, std::string_view user_id, int retry_everyone,
                  std::string_view resource, int mode, std::int32_t& bits);

// Renames (or marks deleted) the records of `resource`, and with subtree 1
// also of the resources below it at a "/". 0 when a record changed, else -4.
int MACL_BatchRsrcIDUpdate(std::string_view owner_id, std::string_view old_resource,
                           std::string_view new_resource, int subtree);
int MACL_BatchRsrcDel(std::string_view owner_id, std::string_view resource, int subtree);

// The layouts, for tests and fuzzing: a set or record from its bytes (which
// must be exactly one slot) and back.
MACL_PrivSet MACL_DecodeSet(std::string_view bytes);
std::string MACL_EncodeSet(const MACL_PrivSet& set);
MACL_Record MACL_DecodeRecord(std::string_view bytes);
std::string MACL_EncodeRecord(const MACL_Record& record);
// Whether a grant on `granted` covers `resource` by inheritance.
bool MACL_Covers(std::string_view granted, std::string_view resource);
