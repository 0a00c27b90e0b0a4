// Pieces the list-file fuzz targets share: a private folder for the files a
// round writes, reading a file back, and the check that aborts with a reason.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fuzz_support {

// A folder of its own below TMPDIR (or /tmp), removed with what is in it.
class TempDir {
 public:
  explicit TempDir(const char* target) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + target + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Aborts with `what` on standard error when `ok` is false.
inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

// A fixed-size text field holds its NUL.
template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

}  // namespace fuzz_support
