#include "support/test_root.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/base/process.h"

namespace fs = std::filesystem;

namespace testing_support {

TestRoot::TestRoot() {
  std::string tmpl = (fs::temp_directory_path() / "adroot.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  for (const char* dir : {"etc", "home", "log", "tmp", "public", "lib", "domains",
                          "httpd/template/en", "httpd/conf", "httpd/html/hashed_store"}) {
    fs::create_directories(fs::path(path_) / dir);
  }
  Write("etc/passwd", "");
  Write("etc/site.conf", "");
  setenv("WEBMAIL_ROOT", path_.c_str(), 1);
  host::ReloadEnv();
}

TestRoot::~TestRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  unsetenv("WEBMAIL_ROOT");
  host::ReloadEnv();
}

void TestRoot::Write(std::string_view sub, std::string_view content) const {
  fs::path p = fs::path(path_) / sub;
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string TestRoot::Read(std::string_view sub) const {
  std::ifstream in(fs::path(path_) / sub, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TestRoot::Exists(std::string_view sub) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs::path(path_) / sub, ec));
}

void TestRoot::AddUser(std::string_view user, int level) const {
  std::ofstream out(fs::path(path_) / "etc/passwd", std::ios::app);
  out << user << ":" << level << ":*\n";
  fs::create_directories(fs::path(path_) / "home" / user);
  host::ReloadEnv();
}

void TestRoot::Site(std::string_view line) const {
  std::ofstream out(fs::path(path_) / "etc/site.conf", std::ios::app);
  out << line << "\n";
  host::ReloadEnv();
}

std::vector<std::string> TestRoot::StoredCopyNumbers() const {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(Path("tmp"))) {
    std::string name = e.path().filename().string();
    if (name.find("_A_") != std::string::npos) out.push_back(name.substr(name.rfind('_') + 1));
  }
  std::sort(out.begin(), out.end());
  return out;
}

void TestRoot::ClearTmp() const {
  for (const auto& e : fs::directory_iterator(Path("tmp"))) fs::remove_all(e.path());
}

std::vector<std::string> TestRoot::TmpFiles(std::string_view part) const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Path("tmp"))) {
    std::string name = e.path().filename().string();
    if (name.find(part) != std::string::npos) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> TestRoot::ListLines(std::string_view cpid, std::string_view user) const {
  std::vector<std::string> lines;
  std::string text = Read("tmp/" + std::string(user) + "_" + std::string(cpid) + "_Attach.dat");
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

void TestRoot::InstallTemplates(std::string_view lang) const {
  fs::path from = fs::path(AD_SOURCE_DIR) / "templates" / lang;
  fs::path to = fs::path(path_) / "httpd/template" / lang;
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::overwrite_existing | fs::copy_options::recursive);
}

std::string Visible(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n\n"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: out += static_cast<char>(c);
    }
  }
  return out;
}

std::string VisibleHex(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    char buf[8];
    std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02X", c);
    out += buf;
  }
  return out;
}

}  // namespace testing_support
