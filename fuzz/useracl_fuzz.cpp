// A ".useracl" as a user's home could hold it: the bytes are the file. Every
// reader stays inside the file; a record added to a readable file reads back
// as the last record.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/cabinet_fuzz_root.h"
#include "common/acl/useracl/useracl.h"

namespace {

using fuzz_support::TheCabinetRoot;

void Check(bool ok, const char* what) {
  fuzz_support::Check(ok, "useracl_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& root = TheCabinetRoot();
  root.Put("home/alice/.useracl", std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string path = root.Path("home/alice/.useracl");

  std::vector<MACL_Record> before;
  int readable = 0;
  {
    MACL_Handle h;
    Check(MACL_Open(h, path, kMaclReadOnlyHandle) == 0, "open");
    readable = MACL_RecordsRead(h, before);
    std::vector<MACL_PrivSet> sets;
    MACL_SetsList(h, sets, 1, 0xff);
    for (const MACL_Record& r : before) {
      Check(r.resource.size() <= 512 && r.access_id.size() <= 256 && r.note.size() <= 128,
            "a field past its width");
    }
    MACL_Record match;
    MACL_RecordMatch(h, "/a/b", kMaclMatchInherit, "bob", match);
  }
  std::int32_t bits = 0;
  MACL_UserPerm("alice", "bob", 1, "/a/b", kMaclMatchInherit, bits);

  MACL_Handle h;
  Check(MACL_Open(h, path, kMaclReadWrite) == 0, "open for writing");
  MACL_Record added;
  added.resource = "/fuzz";
  added.access_id = "bob";
  added.set_id = 2;
  added.kind = kMaclGrant;
  int wrote = MACL_RecordAdd(h, added, 0);
  if (readable == 0 && size >= kMaclHeaderSize) {
    Check(wrote == 0, "a record could not be added to a readable file");
    std::vector<MACL_Record> after;
    Check(MACL_RecordsRead(h, after) == 0, "unreadable after an add");
    Check(after.size() == before.size() + 1, "the count after an add");
    Check(after.back().resource == "/fuzz" && after.back().set_id == 2, "the added record");
  }
  return 0;
}
