// Reads the input as an attachment list, writes the table back, reads that
// and writes it again: every load stays inside its slots, every written line
// reads back as one record equal to what was written, and the second file is
// byte for byte the first.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/attach/attach_list.h"
#include "fuzz/support/fuzz_files.h"

namespace {

using fuzz_support::Check;
using fuzz_support::Slurp;
using fuzz_support::Terminated;

AttachTable first;  // the table as loaded from the input

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz_support::TempDir dir("attach_list_fuzz");
  const std::string in = dir.File("in.dat"), out1 = dir.File("out1.dat"),
                    out2 = dir.File("out2.dat");
  fuzz_support::WriteInput(in, data, size);

  const int n = ATT_ListRead(in);
  Check(n >= 0 && n <= kAttachTableSize && n == ATT_Table().count, "load count");
  for (int i = 0; i < n; ++i) {
    const AttachRecord& r = ATT_Table().records[i];
    Check(
        Terminated(r.name) && Terminated(r.path) && Terminated(r.charset) && Terminated(r.ext_text),
        "field past its slot");
  }
  first = ATT_Table();

  Check(ATT_ListWrite(out1) == n, "first write");
  Check(ATT_ListRead(out1) == n, "written lines do not read back one record each");
  for (int i = 0; i < n; ++i) {
    const AttachRecord& a = first.records[i];
    const AttachRecord& b = ATT_Table().records[i];
    Check(a.size == b.size && a.ext_num == b.ext_num, "numbers changed");
    char expect[256];
    ATT_SetField(expect, sizeof a.name, a.name);
    Check(std::strcmp(expect, b.name) == 0, "name changed");
    ATT_SetField(expect, sizeof a.charset, a.charset);
    Check(std::strcmp(expect, b.charset) == 0, "charset changed");
    ATT_SetField(expect, sizeof a.ext_text, a.ext_text);
    Check(std::strcmp(expect, b.ext_text) == 0, "ext_text changed");
  }

  Check(ATT_ListWrite(out2) == n, "second write");
  Check(Slurp(out1) == Slurp(out2), "round trip not stable");
  unlink(out1.c_str());
  unlink(out2.c_str());
  return 0;
}
