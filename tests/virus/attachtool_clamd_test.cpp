// attachtool scan through the clamd engine and a private clamd: what an
// operator sees, and what the attachment intake relies on.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_root.h"

using testing::HasSubstr;
using testing_support::TestRoot;

namespace {

const std::string kEicar =
    std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR") + "-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct ToolRun {
  int status;
  std::string out;
};

class AttachtoolClamd : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/clamd-tool.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // A small StreamMaxLength, so that inputs over it stay small.
    std::string start = "CLAMD_STREAM_MAX=1M CLAMD_OWNER=" + std::to_string(getpid()) +
                        " " AD_SOURCE_DIR "/scripts/clamd.sh start " + dir_ + " >/dev/null";
    started_ = std::system(start.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::system((AD_SOURCE_DIR "/scripts/clamd.sh stop " + dir_ + " >/dev/null").c_str());
    std::system(("rm -rf " + dir_).c_str());
  }
  void SetUp() override {
    ASSERT_TRUE(started_) << "clamd did not start (./dev test installs clamav-daemon)";
    Config("MIME", dir_ + "/clamd.sock");
  }
  void Config(const std::string& mode, const std::string& socket) {
    root.Write("etc/avscan.conf", "Vendor = clamd\nEngineLib = " AD_LIB_DIR
                                  "/libtav_clamd.so\nServer = unix:" + socket +
                                  "\nScanMode = " + mode + "\n");
  }
  ToolRun Scan(const std::string& name, const std::string& bytes) {
    root.Write(name, bytes);
    std::string cmd = "WEBMAIL_ROOT=" + root.path() + " " AD_BIN_DIR "/attachtool scan " +
                      root.Path(name) + " 2>&1";
    ToolRun r{-1, {}};
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }
  static inline std::string dir_;
  static inline bool started_ = false;
  TestRoot root;
};

TEST_F(AttachtoolClamd, FindsTheTestFileWholeAndInsideAMessage) {
  ToolRun r = Scan("eicar.com", kEicar);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_THAT(r.out, HasSubstr("result\t1\n"));
  EXPECT_THAT(r.out, HasSubstr("\tTest.EICAR-Signature\t1\n"));

  // The same bytes as a base64 attachment: scanned part by part, the report
  // names the part.
  std::string message =
      "From: a@example.org\nTo: b@example.org\nSubject: test\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\n"
      "Content-Type: text/plain\n\nhello\n--b1\n"
      "Content-Type: application/octet-stream; name=\"eicar.com\"\n"
      "Content-Disposition: attachment; filename=\"eicar.com\"\n"
      "Content-Transfer-Encoding: base64\n\n"
      "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\n"
      "LUZJTEUhJEgrSCo=\n--b1--\n";
  r = Scan("mail.eml", message);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_THAT(r.out, HasSubstr("eicar.com\tTest.EICAR-Signature\t1\n"));
}

TEST_F(AttachtoolClamd, CleanFilesAreCleanAndAStoppedDaemonIsNoAnswer) {
  ToolRun r = Scan("note.txt", "nothing to see here\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "result\t0\n");

  Config("ENTIRE", dir_ + "/no-such.sock");
  r = Scan("note.txt", "nothing to see here\n");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_THAT(r.out, HasSubstr("result\t-"));
}

// An input over clamd's StreamMaxLength is not scanned, however it is
// scanned: its parts each under the limit would leave its other bytes (here
// the test file in the preamble) unchecked.
TEST_F(AttachtoolClamd, InputsOverTheStreamLimitAreNotScanned) {
  std::string half(700 * 1024, 'a');
  std::string message =
      "From: a@example.org\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n" +
      kEicar + "\n--b1\nContent-Type: text/plain\n\n" + half +
      "\n--b1\nContent-Type: text/plain\n\n" + half + "\n--b1--\n";
  struct Case {
    const char* mode;
    const char* name;
    std::string bytes;
  } cases[] = {
      {"ENTIRE", "big.eml", message},
      {"ENTIRE", "big.txt", std::string(1536 * 1024, 'z')},
      {"MIME", "big.txt", std::string(1536 * 1024, 'z')},
  };
  for (const Case& c : cases) {
    Config(c.mode, dir_ + "/clamd.sock");
    ToolRun r = Scan(c.name, c.bytes);
    EXPECT_EQ(r.status, 2) << c.mode << " " << c.name << ": " << r.out;
    EXPECT_THAT(r.out, HasSubstr("result\t-1\n")) << c.mode << " " << c.name;
  }
}

}  // namespace
