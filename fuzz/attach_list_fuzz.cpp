// Reads the input as an attachment list, writes the table back, reads that
// and writes it again: every load stays inside its slots, every written line
// reads back as one record equal to what was written, and the second file is
// byte for byte the first.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/attach/attach_list.h"

namespace {

struct Dir {
  std::string path;
  Dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/attach_list_fuzz.XXXXXX";
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
    std::fprintf(stderr, "attach_list_fuzz: %s\n", what);
    std::abort();
  }
}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

AttachTable first;  // the table as loaded from the input

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Dir dir;
  const std::string in = dir.File("in.dat"), out1 = dir.File("out1.dat"),
                    out2 = dir.File("out2.dat");
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

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
