// A small type list and magic rules in an installation root of the fuzz
// target's own, so that naming and typing run as on a site. The replay
// driver does not call LLVMFuzzerInitialize, so targets make it on first use
// (a function-local static).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/base/process.h"

namespace fuzz_support {

inline constexpr char kTypes[] =
    "text/plain\t\t\ttxt text\n"
    "text/html\t\t\thtml htm\n"
    "image/png\t\t\tpng\n"
    "image/jpeg\t\t\tjpg jpeg\n"
    "image/gif\t\t\tgif\n"
    "image/tiff\t\t\ttif tiff\n"
    "video/mp4\t\t\tmp4\n"
    "audio/mpeg\t\t\tmp3\n"
    "application/pdf\t\t\tpdf\n"
    "application/zip\t\t\tzip\n"
    "application/x-shockwave-flash\tswf\n"
    "application/octet-stream\tbin\n"
    "application/ms-tnef\t\ttnef dat\n"
    "message/rfc822\t\t\teml\n"
    "text/x-vcard\t\t\tvcf\n";
inline constexpr char kMagic[] =
    "0\tstring\t\\x89PNG\timage/png\n"
    "0\tstring\tGIF8\timage/gif\n"
    "0\tstring\t\\xff\\xd8\\xff\timage/jpeg\n"
    "0\tstring\t%PDF-\tapplication/pdf\n"
    "0\tstring\tPK\\x03\\x04\tapplication/zip\n"
    "0\tstring\tFWS\tapplication/x-shockwave-flash\n"
    "0\tulelong\t0x223e9f78\tapplication/ms-tnef\n";

class FuzzRoot {
 public:
  FuzzRoot() {
    char tmpl[] = "/tmp/fuzz_root.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    path_ = tmpl;
    std::filesystem::create_directories(path_ + "/httpd/conf");
    std::filesystem::create_directories(path_ + "/tmp");
    std::ofstream(path_ + "/httpd/conf/mime.types") << kTypes;
    std::ofstream(path_ + "/httpd/conf/magic") << kMagic;
    setenv("WEBMAIL_ROOT", path_.c_str(), 1);
    host::ReloadEnv();
  }
  ~FuzzRoot() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  FuzzRoot(const FuzzRoot&) = delete;
  FuzzRoot& operator=(const FuzzRoot&) = delete;

 private:
  std::string path_;
};

}  // namespace fuzz_support
