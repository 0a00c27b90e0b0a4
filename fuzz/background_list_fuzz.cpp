// Reads the input as a background list, writes the record back, reads that
// and writes it again: every load stays inside its slots, the written line
// reads back as the one record written (its name as BG_SetField makes it,
// its path unchanged), and the second file is byte for byte the first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/attach/background_list.h"

namespace {

struct Dir {
  std::string path;
  Dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/background_list_fuzz.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path = tmpl;
  }
  ~Dir() {
    for (const char* f : {"/in.dat", "/out1.dat", "/out2.dat"}) unlink((path + f).c_str());
    rmdir(path.c_str());
  }
  std::string File(const char* name) const { return path + "/" + name; }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "background_list_fuzz: %s\n", what);
    std::abort();
  }
}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Dir dir;
  const std::string in = dir.File("in.dat"), out1 = dir.File("out1.dat"),
                    out2 = dir.File("out2.dat");
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

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
