// The clamd scan engine (build/lib/libtav_clamd.so), loaded with dlopen as the
// loader does, against a private clamd started by scripts/clamd.sh with the
// project's signatures, and against small stand-in servers for the answers a
// healthy daemon does not give.
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/virus/engine_abi.h"

namespace {

// Split so that this source file itself matches neither signature.
const std::string kEicar =
    std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR") + "-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const std::string kMarker = std::string("ATTACHDESK-TEST-") + "VIRUS-7d0a";

// The engine library, loaded once per suite, and a temporary folder.
class ClamdEngineLib : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    error_.clear();
    char tmpl[] = "/tmp/clamd-test.XXXXXX";
    if (!mkdtemp(tmpl)) return Fail("mkdtemp failed");
    dir_ = tmpl;
    lib_ = dlopen(AD_LIB_DIR "/libtav_clamd.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return Fail(std::string("dlopen: ") + dlerror());
    init_ = reinterpret_cast<TAV_InitFn>(dlsym(lib_, "TAV_Init2"));
    scan_ = reinterpret_cast<TAV_ScanFn>(dlsym(lib_, "TAV_Scan"));
    close_ = reinterpret_cast<TAV_CloseFn>(dlsym(lib_, "TAV_Close"));
    if (!init_ || !scan_ || !close_) Fail("an entry point is missing");
  }
  static void TearDownTestSuite() {
    if (close_) close_();
    if (lib_) dlclose(lib_);
    lib_ = nullptr;
    close_ = nullptr;
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    dir_.clear();
  }
  void SetUp() override {
    if (!error_.empty()) GTEST_FAIL() << error_;
  }
  static void Fail(std::string why) { error_ = std::move(why); }

  // Scans `data` (or the file `name` when data is null) into a 512-byte report.
  static int Scan(const std::string* data, const std::string& name, std::string* report) {
    char buf[512] = "stale";
    int rc = scan_(data ? data->data() : nullptr, data ? static_cast<int>(data->size()) : 0,
                   name.c_str(), nullptr, 0, buf, sizeof buf, AVS_ACTION_NONE, nullptr, nullptr);
    *report = buf;
    return rc;
  }

  static inline std::string dir_, error_;
  static inline void* lib_ = nullptr;
  static inline TAV_InitFn init_ = nullptr;
  static inline TAV_ScanFn scan_ = nullptr;
  static inline TAV_CloseFn close_ = nullptr;
};

// The same, with a private clamd on dir_/clamd.sock and on localhost:port_.
class ClamdEngine : public ClamdEngineLib {
 protected:
  static void SetUpTestSuite() {
    ClamdEngineLib::SetUpTestSuite();
    if (!error_.empty()) return;
    // A port found free can be taken by another test before clamd binds it: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreePort();
      std::string start = "CLAMD_OWNER=" + std::to_string(getpid()) +
                          " CLAMD_TCP_PORT=" + std::to_string(port_) +
                          " " AD_SOURCE_DIR "/scripts/clamd.sh start " + dir_;
      if (std::system(start.c_str()) == 0) return;
    }
    Fail(
        "scripts/clamd.sh could not start clamd (see its message above; clamd comes with "
        "the Debian package clamav-daemon, which ./dev test installs)");
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) std::system((AD_SOURCE_DIR "/scripts/clamd.sh stop " + dir_).c_str());
    ClamdEngineLib::TearDownTestSuite();
  }

  static int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
  }

  static std::string Server() { return "unix:" + dir_ + "/clamd.sock"; }

  static inline int port_ = 0;
};

TEST_F(ClamdEngine, FindsTheSignaturesAndPassesCleanData) {
  // 256 KiB is the engine's chunk: the marker straddles two chunks.
  std::string straddling(256 * 1024 - 10, 'a');
  straddling += kMarker + std::string(300000, 'b');
  struct Case {
    const char* what;
    std::string data;
    int want;
    std::string report;
  } cases[] = {
      {"eicar", kEicar, 1, "a.txt\tTest.EICAR-Signature\t1\n"},
      {"marker", "see " + kMarker + " here", 1, "a.txt\tTest.Attachdesk-Marker\t1\n"},
      {"straddling", straddling, 1, "a.txt\tTest.Attachdesk-Marker\t1\n"},
      {"clean", "hello, world\n", 0, ""},
      {"empty", "", 0, ""},
      {"clean 3 MB", std::string(3 << 20, 'x'), 0, ""},
  };
  for (const auto& c : {Server(), "127.0.0.1:" + std::to_string(port_),
                        "timeout=5\tlocalhost:" + std::to_string(port_)}) {
    ASSERT_NE(init_(c.c_str()), 0) << c;
    for (const Case& k : cases) {
      std::string report;
      EXPECT_EQ(Scan(&k.data, "a.txt", &report), k.want) << k.what << " via " << c;
      EXPECT_EQ(report, k.report) << k.what << " via " << c;
    }
  }
}

TEST_F(ClamdEngine, ScansANamedFile) {
  ASSERT_NE(init_(Server().c_str()), 0);
  struct Case {
    std::string content;
    int want;
  } cases[] = {
      {std::string(600000, 'z') + kEicar, 1},
      {"", 0},
      {std::string(512 * 1024, 'z'), 0},  // whole chunks: the end is a read of nothing
  };
  std::string path = dir_ + "/upload.bin", report;
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::trunc) << c.content;
    EXPECT_EQ(Scan(nullptr, path, &report), c.want) << c.content.size() << " bytes";
    EXPECT_EQ(report, c.want ? path + "\tTest.EICAR-Signature\t1\n" : "");
  }
  errno = 0;
  EXPECT_EQ(Scan(nullptr, dir_ + "/missing", &report), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(ClamdEngine, ReportIsCutToItsSizeAndNeverOverflows) {
  ASSERT_NE(init_(Server().c_str()), 0);
  for (int size : {0, 1, 10, 20}) {
    char buf[64];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(
        scan_(kEicar.data(), kEicar.size(), "a.txt", nullptr, 0, buf, size, 0, nullptr, nullptr),
        1);
    std::string want =
        size ? std::string("a.txt\tTest.EICAR-Signature\t1\n").substr(0, size - 1) : "";
    if (size) EXPECT_STREQ(buf, want.c_str()) << size;
    for (int i = size; i < 64; ++i) ASSERT_EQ(buf[i], 'Z') << "byte " << i << " of " << size;
  }
  EXPECT_EQ(
      scan_(kEicar.data(), kEicar.size(), "a.txt", nullptr, 0, nullptr, 100, 0, nullptr, nullptr),
      1);
}

TEST_F(ClamdEngine, FailuresAnswerNegativeWithErrno) {
  std::string report;
  std::string data = "hello";
  ASSERT_NE(init_(("unix:" + dir_ + "/nobody.sock").c_str()), 0);
  errno = 0;
  EXPECT_EQ(Scan(&data, "a", &report), -1);
  EXPECT_EQ(errno, ENOENT);

  ASSERT_NE(init_(Server().c_str()), 0);
  std::string big((25 << 20) + 1, 'x');  // one byte over the daemon's StreamMaxLength
  errno = 0;
  EXPECT_EQ(Scan(&big, "a", &report), -1) << "not scanned, and no other way helps";
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(Scan(&data, "a", &report), 0) << "the daemon still serves";
}

// How a stand-in daemon starts: listening at once; with its listen backlog
// full (one connection queued that it does not accept) for a while, or for
// ever; or with its socket bound but not listening for a while, or for ever.
enum class Start { kListening, kBacklogFull, kListenLater };

// A one-connection stand-in daemon at `path`: reads the stream up to its
// zero-length chunk, then sends `answer` (unless empty) and closes. A
// negative `delay_ms` never comes to that.
class FakeDaemon {
 public:
  FakeDaemon(const std::string& path, std::string answer, Start start = Start::kListening,
             int delay_ms = 0) {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (start == Start::kListening) listen(fd_, 1);
    if (start == Start::kBacklogFull) {
      listen(fd_, 0);  // room for exactly one queued connection
      filler_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (delay_ms < 0) return;
    thread_ = std::thread([this, answer, start, delay_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      if (start == Start::kListenLater) listen(fd_, 1);
      if (start == Start::kBacklogFull) close(accept(fd_, nullptr, nullptr));  // the filler
      Serve(answer);
    });
  }
  ~FakeDaemon() {
    if (thread_.joinable()) thread_.join();
    close(fd_);
    if (filler_ >= 0) close(filler_);
  }

 private:
  void Serve(const std::string& answer) {
    // An engine that gave up at once never comes: the test fails, not hangs.
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    int c = accept(fd_, nullptr, nullptr);
    std::string got;
    char buf[4096];
    ssize_t n;
    while (got.size() < 4 || got.compare(got.size() - 4, 4, std::string(4, '\0')) != 0) {
      if ((n = read(c, buf, sizeof buf)) <= 0) break;
      got.append(buf, n);
    }
    if (!answer.empty()) {
      write(c, answer.data(), answer.size());
    } else {
      read(c, buf, sizeof buf);  // silent until the engine gives up
    }
    close(c);
  }

  int fd_ = -1;
  int filler_ = -1;
  std::thread thread_;
};

TEST_F(ClamdEngineLib, ReadsEveryKindOfAnswer) {
  struct Case {
    std::string answer;
    int want;
    int want_errno;
    std::string report;
  } cases[] = {
      {std::string("stream: OK\0", 11), 0, 0, ""},
      {std::string("stream: Foo.Bar(44d8:68) FOUND\0", 31), 1, 0, "a\tFoo.Bar\t1\n"},
      {std::string("stream: Foo.UNOFFICIAL FOUND\0", 29), 1, 0, "a\tFoo\t1\n"},
      {std::string("stream: OK but more\0", 20), -1, EIO, ""},
      {std::string("UNKNOWN COMMAND\0", 16), -1, EIO, ""},
      {"stream: OK", 0, 0, ""},  // closed without its NUL: still the whole answer
      // Refusals are "not scanned", the size limit above all.
      {std::string("INSTREAM size limit exceeded. ERROR\0", 36), -1, EFBIG, ""},
      {std::string("stream: Can't allocate memory ERROR\0", 36), -1, EIO, ""},
      {"", -1, ETIMEDOUT, ""},  // never answers
  };
  std::string path = dir_ + "/fake.sock", data = "hello", report;
  ASSERT_NE(init_(("timeout=1\tunix:" + path).c_str()), 0);
  for (const Case& c : cases) {
    FakeDaemon fake(path, c.answer);
    errno = 0;
    EXPECT_EQ(Scan(&data, "a", &report), c.want) << testing::PrintToString(c.answer);
    EXPECT_EQ(errno, c.want_errno) << testing::PrintToString(c.answer);
    EXPECT_EQ(report, c.report) << testing::PrintToString(c.answer);
  }
}

// A busy daemon (its backlog full) is waited for, and one that is starting up
// (not yet listening) tried again, both within the timeout; one that stays
// so is "not scanned" after about the timeout.
TEST_F(ClamdEngineLib, WaitsForABusyOrStartingDaemonWithinTheTimeout) {
  struct Case {
    const char* what;
    Start start;
    int delay_ms;
    int want;
    int want_errno;
  } cases[] = {
      {"backlog full for 0.4 s", Start::kBacklogFull, 400, 0, 0},
      {"backlog full for ever", Start::kBacklogFull, -1, -1, ETIMEDOUT},
      {"listening after 0.2 s", Start::kListenLater, 200, 0, 0},
      {"never listening", Start::kListenLater, -1, -1, ECONNREFUSED},
  };
  std::string path = dir_ + "/busy.sock", data = "hello", report;
  ASSERT_NE(init_(("timeout=1\tunix:" + path).c_str()), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon fake(path, std::string("stream: OK\0", 11), c.start, c.delay_ms);
    if (c.start == Start::kBacklogFull) {
      int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
      errno = 0;
      EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
      EXPECT_EQ(errno, EAGAIN) << "the stand-in's backlog is not full";
      close(probe);
    }
    auto begin = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(Scan(&data, "a", &report), c.want);
    if (c.want < 0) EXPECT_EQ(errno, c.want_errno);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::milliseconds(6000)) << "gave up long after the timeout";
    if (c.want_errno == ETIMEDOUT) EXPECT_GE(took, std::chrono::milliseconds(900));
  }
}

TEST_F(ClamdEngineLib, InitAcceptsOnlyWellFormedServers) {
  for (const char* good : {"unix:/run/clamav/clamd.ctl", "/run/x.sock", "127.0.0.1:3310",
                           "[::1]:3310", "::1:3310", "timeout=5\tunix:/x", "timeout=5, \t/x"})
    EXPECT_NE(init_(good), 0) << good;
  std::string long_path = "unix:/" + std::string(200, 'p');
  for (const char* bad : {"", "unix:", "localhost", "host:", ":3310", "1.2.3.4:port",
                          "timeout=0\t/x", "timeout=9x\t/x", "speed=1\t/x", long_path.c_str()})
    EXPECT_EQ(init_(bad), 0) << bad;
  EXPECT_EQ(init_(nullptr), 0);
  std::string report, data = "hello";
  errno = 0;
  EXPECT_EQ(Scan(&data, "a", &report), -1) << "a failed init leaves nothing to scan with";
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
