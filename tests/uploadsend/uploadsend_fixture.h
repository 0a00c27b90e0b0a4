// A test root for uploadsend run as a CGI program: user alice, the content
// types, a probe template that shows the page's variables in a fixed shape,
// and helpers for the window's files.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/files/files.h"
#include "support/cgi_run.h"
#include "support/test_root.h"

namespace uploadsend_test {

using testing_support::CgiRequest;
using testing_support::CgiResult;
using testing_support::Multipart;
using testing_support::TestRoot;

// The page's code, refused file, count, identifiers, limits and list.
inline constexpr char kProbe[] =
    "E=$ERRORMSG|V=$virusfile/$virusmsg|N=$count|A=$atid|P=$cpid"
    "|L=$countleft/$sizeleft|C=$choice|S=$size\n";

class UploadsendTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    Template(kProbe);
    for (const char* conf : {"mime.types", "magic"}) {
      root.Write(std::string("httpd/conf/") + conf,
                 ReadFile(std::string(AD_SOURCE_DIR) + "/conf/" + conf));
    }
  }

  void Template(const std::string& text) { root.Write("httpd/template/en/uploadsend.dat", text); }

  static std::string ReadFile(const std::string& path) {
    std::string data;
    MFILE_Read(path, data);  // empty when missing
    return data;
  }

  CgiResult Get(const std::string& query, const std::string& user = "alice") {
    CgiRequest req;
    req.query = query;
    req.remote_user = user;
    req.env["AD_ENGINE_LOG"] = root.Path("engine.log");
    return testing_support::RunCgi("uploadsend", root.path(), req);
  }
  CgiResult Post(const Multipart& form, const std::string& query = "") {
    CgiRequest req;
    req.method = "POST";
    req.query = query;
    req.content_type = form.ContentType();
    req.body = form.Body();
    req.env["AD_ENGINE_LOG"] = root.Path("engine.log");
    return testing_support::RunCgi("uploadsend", root.path(), req);
  }

  // An attachment list of `entries` entries with stored files, sizes 10, 20, ...
  void List(const std::string& cpid, int entries) {
    std::string text;
    for (int i = 0; i < entries; ++i) {
      std::string sub = "tmp/alice_" + cpid + "_A_1_" + std::to_string(i);
      root.Write(sub, "x");
      text += "0;;;old" + std::to_string(i) + ".txt;" + root.Path(sub) + ";" +
              std::to_string(10 * (i + 1)) + "\n";
    }
    root.Write("tmp/alice_" + cpid + "_Attach.dat", text);
  }

  // An upload stored by the receiver in tmp/ and its upload list line.
  std::string Upload(const std::string& stored, const std::string& data, const std::string& name) {
    root.Write("tmp/" + stored, data);
    return name + ";" + root.Path("tmp/" + stored) + ";" + std::to_string(data.size()) + "\n";
  }

  void Engine() {
    root.Write("etc/avscan.conf",
               "Vendor = test\nEngineLib = " + std::string(AD_LIB_DIR) + "/libtav_marker.so\n");
    root.Write("engine.log", "");
  }

  // The day's virus log, "" when none was written.
  std::string VirusLog() {
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(root.Path("log"))) {
      if (e.path().filename().string().starts_with("virus.log.")) log += ReadFile(e.path());
    }
    return log;
  }

  TestRoot root;
};

}  // namespace uploadsend_test
