// The download stand-in: serves stored images and sounds read-only, typed by
// their bytes, and nothing else.
#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/files/files.h"
#include "host/files/hashed_store.h"
#include "support/cgi_run.h"
#include "support/test_root.h"

using testing::HasSubstr;
using testing::Not;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(FileDownload, ServesImagesAndSoundsByTheirBytesOnly) {
  TestRoot root;
  std::string magic;
  MFILE_Read(std::string(AD_SOURCE_DIR) + "/conf/magic", magic);
  root.Write("httpd/conf/magic", magic);
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + "pixels";
  const std::string wav = std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20) + "samples";
  auto put = [&root](const std::string& name, const std::string& data) {
    std::string folder = filename2path_2level_64_64(name, 0, name.size());
    root.Write(folder.substr(root.path().size() + 1) + "/" + name, data);
    return HashedStoreSubdir(name) + "/" + name;
  };
  const std::string pic = put("1alicepic.html", png);  // the name does not decide
  const std::string tune = put("1alicet.wav", wav);
  const std::string page = put("1alicep.png", "<html><script>alert(1)</script></html>");
  fs::create_symlink(root.Path("etc/passwd"),
                     filename2path_2level_64_64("ln.png", 0, 6) + "/ln.png");
  struct Case {
    std::string path_info, method, status, type;
  } cases[] = {
      {"/" + pic, "GET", "", "image/png"},
      {"/1alicepic.html/sky%20blue.png", "GET", "", "image/png"},  // the image page's form
      {"/" + tune, "HEAD", "", "audio/x-wav"},
      {"/" + page, "GET", "404", ""},
      {"/ln.png/x.png", "GET", "404", ""},
      {"/../../../etc/passwd", "GET", "404", ""},
      {"/00/00/1alicepic.html", "GET", "404", ""},  // not that name's folder
      {"", "GET", "404", ""},
      {"/" + pic, "POST", "405", ""},
  };
  for (const Case& c : cases) {
    CgiRequest req;
    req.method = c.method;
    req.env["PATH_INFO"] = c.path_info;
    CgiResult r = RunCgi("filedownload", root.path(), req);
    EXPECT_EQ(r.status, 0) << c.path_info;
    if (!c.status.empty()) {
      EXPECT_THAT(r.headers, HasSubstr("Status: " + c.status)) << c.path_info;
      continue;
    }
    EXPECT_THAT(r.headers, Not(HasSubstr("Status:")));
    EXPECT_THAT(r.headers, HasSubstr("Content-Type: " + c.type + "\r\n")) << c.path_info;
    EXPECT_THAT(r.headers, HasSubstr("X-Content-Type-Options: nosniff\r\n"));
    EXPECT_EQ(r.page, c.method == "HEAD" ? "" : png) << c.path_info;
  }
}

}  // namespace
