// A temporary installation root for tests: made fresh per test, filled with
// the files a test needs, removed afterwards. It sets WEBMAIL_ROOT for the
// test process and for programs the test runs.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

class TestRoot {
 public:
  TestRoot();   // makes the folders: etc, home, log, tmp, httpd/template/en, ...
  ~TestRoot();  // removes everything
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string Path(std::string_view sub) const { return path_ + "/" + std::string(sub); }

  // Writes a file below the root, making its folders.
  void Write(std::string_view sub, std::string_view content) const;
  std::string Read(std::string_view sub) const;
  bool Exists(std::string_view sub) const;

  // Adds "user:level:*" to etc/passwd and makes the home folder.
  void AddUser(std::string_view user, int level = 0) const;
  // Appends a line to etc/site.conf.
  void Site(std::string_view line) const;
  // Copies the shipped templates of a language into httpd/template/<lang>.
  void InstallTemplates(std::string_view lang = "en") const;

  // The numbers after the process id of the stored copies in tmp/
  // ("<user>_<cpid>_A_<pid>_<n>"), sorted as text.
  std::vector<std::string> StoredCopyNumbers() const;
  // Removes everything in tmp/.
  void ClearTmp() const;
  // The names of the files in tmp/ that contain `part`, sorted.
  std::vector<std::string> TmpFiles(std::string_view part = "") const;
  // The lines of a compose window's list file (none when it is missing).
  std::vector<std::string> ListLines(std::string_view cpid, std::string_view user = "alice") const;

 private:
  std::string path_;
};

// Shows CR, LF, TAB and NUL of a text, for readable failures.
std::string Visible(std::string_view text);
// Shows every byte outside printable ASCII as \xNN (CR is \x0D, LF \x0A).
std::string VisibleHex(std::string_view text);

}  // namespace testing_support
