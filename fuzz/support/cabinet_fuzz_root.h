// A root of the cabinet fuzz targets' own, made once and removed at exit,
// with users "alice" and "bob" and the public cabinet's folder.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "host/base/process.h"

namespace fuzz_support {

class CabinetRoot {
 public:
  CabinetRoot() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/cabinet_fuzz.XXXXXX";
    if (!mkdtemp(path_.data())) std::abort();
    for (const char* d : {"etc", "log", "tmp", "home/alice/dc", "home/bob", "public/dc"}) {
      std::filesystem::create_directories(path_ + "/" + d);
    }
    std::ofstream(path_ + "/etc/passwd") << "alice:0:*\nbob:0:*\n";
    setenv("WEBMAIL_ROOT", path_.c_str(), 1);
    host::ReloadEnv();
  }
  ~CabinetRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  CabinetRoot(const CabinetRoot&) = delete;
  CabinetRoot& operator=(const CabinetRoot&) = delete;

  std::string Path(std::string_view sub) const { return path_ + "/" + std::string(sub); }

  void Put(std::string_view sub, std::string_view data) const {
    std::ofstream(Path(sub), std::ios::binary | std::ios::trunc)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
  }

 private:
  std::string path_;
};

inline const CabinetRoot& TheCabinetRoot() {
  static const CabinetRoot root;
  return root;
}

inline void Check(bool ok, const char* target, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
  }
}

}  // namespace fuzz_support
