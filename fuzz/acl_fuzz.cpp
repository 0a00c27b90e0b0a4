// A public cabinet's ".acl" and ".acl.ext": the first two bytes give the
// length of ".acl" (little-endian), the rest of the input is split there
// into ".acl" and ".acl.ext". Lookups and listings stay inside the files and
// agree with each other; an entry added to an object reads back as its last.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/cabinet_fuzz_root.h"
#include "common/acl/acl_object.h"

namespace {

using fuzz_support::TheCabinetRoot;

void Check(bool ok, const char* what) {
  fuzz_support::Check(ok, "acl_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& root = TheCabinetRoot();
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::size_t split = 0;
  if (in.size() >= 2) {
    split = static_cast<std::uint8_t>(in[0]) | (static_cast<std::uint8_t>(in[1]) << 8);
    in.remove_prefix(2);
  }
  split = std::min(split * 8, in.size());
  root.Put("public/dc/.acl", in.substr(0, split));
  root.Put("public/dc/.acl.ext", in.substr(split));
  const std::string path = root.Path("public/dc/.acl");

  std::vector<ACL_Object> all;
  Check(ACL_ObjectList(path, all) == 0, "list");
  Check(all.size() == split / kAclRecordSize, "the record count");
  for (const ACL_Object& o : all) {
    Check(o.name.size() <= 256 && o.owner.size() <= 64 && o.group.size() <= 64,
          "a field past its width");
    ACL_Object got;
    int r = ACL_ObjectGet(path, o.name, got);
    Check(r == kAclOk || r == kAclNotFound, "a lookup failed");  // unsorted files miss
    if (r == kAclOk && got.name == o.name && got.entries.size() == o.entries.size()) {
      for (std::size_t i = 0; i < got.entries.size(); ++i) {
        Check(got.entries[i].access_id.size() <= 64, "an entry past its width");
      }
    }
  }
  // A writer finds objects in a file sorted without repeats, as it keeps it.
  bool sorted = true;
  for (std::size_t i = 1; i < all.size(); ++i) sorted = sorted && all[i - 1].name < all[i].name;
  if (sorted && !all.empty() && all.front().entries.size() < 100) {
    const std::string name = all.front().name;
    ACL_Object before;
    if (ACL_ObjectGet(path, name, before) == kAclOk && before.name == name) {
      bool taken = false;
      for (const ACL_Entry& e : before.entries) taken = taken || e.access_id == "fuzzer";
      int r = ACL_EntryAdd(nullptr, path, name, ACL_Entry{"fuzzer", kAclEverybody, 4});
      if (!taken && r == kAclOk) {
        ACL_Object after;
        Check(ACL_ObjectGet(path, name, after) == kAclOk, "lookup after an add");
        Check(after.entries.size() == before.entries.size() + 1 &&
                  after.entries.back().access_id == "fuzzer",
              "the added entry");
      }
    }
  }
  return 0;
}
