// Reads the input as a background list, writes the record back, reads that
// and writes it again: every load stays inside its slots, the written line
// reads back as the one record written (its name as BG_SetField makes it,
// its path unchanged), and the second file is byte for byte the first.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/attach/background_list.h"
#include "fuzz/support/fuzz_files.h"

namespace {

using fuzz_support::Check;
using fuzz_support::Slurp;
using fuzz_support::Terminated;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz_support::TempDir dir("background_list_fuzz");
  const std::string in = dir.File("in.dat"), out1 = dir.File("out1.dat"),
                    out2 = dir.File("out2.dat");
  fuzz_support::WriteInput(in, data, size);

  const int n = BG_ListRead(in);
  Check(n >= 0 && n == BG_Count(), "load count");
  const BackgroundRecord first = BG_Record();
  Check(Terminated(first.name) && Terminated(first.path), "field past its slot");
  if (n == 0) return 0;

  Check(BG_ListWrite(out1) == 1, "first write");
  Check(BG_ListRead(out1) == 1, "the written line does not read back as one record");
  const BackgroundRecord& back = BG_Record();
  char expect[sizeof first.name];
  BG_SetField(expect, sizeof expect, first.name);
  Check(std::strcmp(expect, back.name) == 0, "name changed");
  Check(std::strcmp(first.path, back.path) == 0, "path changed");
  Check(first.size == back.size && first.type == back.type, "numbers changed");

  Check(BG_ListWrite(out2) == 1, "second write");
  Check(Slurp(out1) == Slurp(out2), "round trip not stable");
  unlink(out1.c_str());
  unlink(out2.c_str());
  return 0;
}
