// Reads the input as an upload list (with "@TMP@" standing for the root's
// tmp folder, so that inputs can name files below it), writes the table back,
// reads that and writes it again: every record that loads has a name, a size
// of at least 0 and a path below the tmp folder, every written line reads
// back as one record equal to what was written (control bytes of a name as
// "_"), and the second file is byte for byte the first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz/support/fuzz_root.h"
#include "host/base/ascii.h"
#include "host/files/root.h"
#include "uploadsend/upload_list.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "upload_list_fuzz: %s\n", what);
    std::abort();
  }
}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

std::string CleanedName(const char* name) {
  std::string out(name);
  for (char& c : out) {
    if (ascii::IsControl(static_cast<unsigned char>(c))) c = '_';
  }
  return out;
}

UploadTable first;  // the table as loaded from the input

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz_support::FuzzRoot root;
  const std::string tmp = host::TmpDir();
  const std::string in = tmp + "/in.dat", out1 = tmp + "/out1.dat", out2 = tmp + "/out2.dat";
  std::string text(reinterpret_cast<const char*>(data), size);
  for (std::size_t at; (at = text.find("@TMP@")) != std::string::npos;) text.replace(at, 5, tmp);
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f << text;
  }

  const int n = UPL_ListRead(in);
  Check(n >= 0 && n <= kUploadTableSize && n == UPL_Table().count, "load count");
  for (int i = 0; i < n; ++i) {
    const UploadRecord& r = UPL_Table().records[i];
    Check(Terminated(r.name) && Terminated(r.path), "field past its slot");
    Check(r.name[0] != '\0', "empty name loaded");
    Check(r.size >= 0, "negative size loaded");
    Check(UPL_PathBelowTmp(r.path), "path outside the tmp folder loaded");
  }
  first = UPL_Table();

  Check(UPL_ListWrite(out1) == n, "first write");
  Check(UPL_ListRead(out1) == n, "written lines do not read back one record each");
  for (int i = 0; i < n; ++i) {
    const UploadRecord& a = first.records[i];
    const UploadRecord& b = UPL_Table().records[i];
    Check(CleanedName(a.name) == b.name, "name changed");
    Check(std::strcmp(a.path, b.path) == 0, "path changed");
    Check(a.size == b.size, "size changed");
  }
  Check(UPL_ListWrite(out2) == n, "second write");
  Check(Slurp(out1) == Slurp(out2), "second write differs from the first");
  for (const std::string& f : {in, out1, out2}) unlink(f.c_str());
  return 0;
}
