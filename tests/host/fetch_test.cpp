#include "host/net/fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/base/process.h"
#include "host/net/address_policy.h"
#include "support/test_root.h"

namespace {

using host::AddressKind;
using testing_support::TestRoot;

const std::string kFileBody("fetched\0bytes\r\n\xff\x80 end\n", 22);

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

// A small HTTP/1.1 server on 127.0.0.1, one thread per connection, one
// request per connection. It records the paths asked for.
class TestServer {
 public:
  TestServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "test server cannot listen";
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestServer() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int port() const { return port_; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void Serve() {
    std::vector<std::thread> workers;
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      workers.emplace_back([this, fd] {
        Answer(fd);
        close(fd);
      });
    }
    for (auto& w : workers) w.join();
  }

  // Waits up to `ms` for the peer; false once it closed or the server stops.
  bool Wait(int fd, int ms) {
    for (int waited = 0; waited < ms && !stop_; waited += 20) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void Send(int fd, const std::string& s) { send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

  void Reply(int fd, const std::string& status, const std::string& headers, const std::string& body,
             bool length = true) {
    std::string head = "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + headers;
    if (length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    Send(fd, head + "\r\n" + body);
  }

  void Answer(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      if (!Wait(fd, 5000)) return;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    size_t sp = request.find(' ');
    std::string path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(path);
    }
    auto number = [&path](const char* prefix) { return std::stoul(path.substr(strlen(prefix))); };
    std::string self = "http://127.0.0.1:" + std::to_string(port_);
    if (path == "/file") {
      Reply(fd, "200 OK", "", kFileBody);
    } else if (path.starts_with("/big/")) {
      Reply(fd, "200 OK", "", Pattern(number("/big/")));
    } else if (path.starts_with("/stream/")) {  // no length: the body ends when the server closes
      Reply(fd, "200 OK", "", Pattern(number("/stream/")), false);
    } else if (path == "/redirect-to-loopback") {
      Reply(fd, "302 Found", "Location: " + self + "/file\r\n", "");
    } else if (path.starts_with("/redirect-chain/")) {
      unsigned long left = number("/redirect-chain/");
      std::string next = "/redirect-chain/" + std::to_string(left - 1);
      if (left == 0) {
        Reply(fd, "200 OK", "", kFileBody);
      } else {
        Reply(fd, "302 Found", "Location: " + next + "\r\n", "");
      }
    } else if (path == "/ftp-redirect") {
      Reply(fd, "302 Found", "Location: ftp" + self.substr(4) + "/file\r\n", "");
    } else if (path == "/file-redirect") {
      Reply(fd, "302 Found", "Location: file:///etc/passwd\r\n", "");
    } else if (path == "/300") {
      Reply(fd, "300 Multiple Choices", "", "pick one");
    } else if (path == "/slow") {
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nstarted...");
      Wait(fd, 10000);
    } else {
      Reply(fd, "404 Not Found", "", "not here");
    }
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

class FetchTest : public ::testing::Test {
 protected:
  void Site(std::initializer_list<const char*> lines) {
    for (const char* line : lines) root_.Site(line);
    host::ReloadEnv();
  }
  void TearDown() override { MNET_FetchSetTestHook(nullptr); }
  std::string Target() const { return root_.Path("tmp/fetched"); }
  bool TargetExists() const { return root_.Exists("tmp/fetched"); }

  TestRoot root_;
  TestServer server_;
};

TEST(AddressPolicyTest, ClassifiesAddresses) {
  const std::pair<AddressKind, std::vector<const char*>> cases[] = {
      {AddressKind::kPublic,
       {"8.8.8.8", "172.32.0.1", "100.128.0.1", "::ffff:8.8.8.8", "64:ff9b::8.8.8.8",
        "2001:4860:4860::8888"}},
      {AddressKind::kLoopback,
       {"127.0.0.1", "127.255.255.254", "::1", "::ffff:127.0.0.1", "::127.0.0.1", "2002:7f00:1::"}},
      {AddressKind::kPrivate,
       {"10.0.0.1", "172.16.0.1", "172.31.255.255", "192.168.1.1", "::ffff:10.1.2.3",
        "64:ff9b::192.168.0.1", "fc00::1", "fd12:3456::1", "fec0::1"}},
      {AddressKind::kLinkLocal,
       {"169.254.169.254", "::ffff:169.254.1.1", "fe80::1%eth0", "febf::1"}},
      {AddressKind::kUnspecified, {"0.0.0.0", "0.1.2.3", "::", "::ffff:0.0.0.0"}},
      {AddressKind::kShared, {"100.64.0.1", "100.127.255.255", "::ffff:100.64.0.1"}},
      {AddressKind::kMulticast, {"224.0.0.1", "239.255.255.250", "ff02::1"}},
      {AddressKind::kBroadcast, {"255.255.255.255", "::ffff:255.255.255.255"}},
      {AddressKind::kReserved, {"240.0.0.1", "192.0.2.5", "2001:db8::1"}},
      {AddressKind::kInvalid, {"1.2.3", "", "localhost", "::ffff:1.2.3.4.5"}},
  };
  for (const auto& [kind, addresses] : cases) {
    for (const char* address : addresses) {
      EXPECT_STREQ(host::AddressKindName(host::ClassifyAddressText(address)),
                   host::AddressKindName(kind))
          << address;
    }
  }
  // The socket address form, as curl hands it over; a short one is no address.
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:192.168.0.9", &v6.sin6_addr);
  const auto* sa = reinterpret_cast<const sockaddr*>(&v6);
  EXPECT_EQ(host::ClassifyAddress(sa, sizeof v6), AddressKind::kPrivate);
  EXPECT_EQ(host::ClassifyAddress(sa, sizeof(sockaddr_in)), AddressKind::kInvalid);

  for (AddressKind kind : {AddressKind::kLoopback, AddressKind::kPrivate, AddressKind::kLinkLocal,
                           AddressKind::kUnspecified, AddressKind::kShared}) {
    EXPECT_FALSE(host::AddressAllowed(kind, false)) << host::AddressKindName(kind);
    EXPECT_TRUE(host::AddressAllowed(kind, true)) << host::AddressKindName(kind);
  }
  for (AddressKind kind : {AddressKind::kMulticast, AddressKind::kBroadcast, AddressKind::kReserved,
                           AddressKind::kInvalid}) {
    EXPECT_FALSE(host::AddressAllowed(kind, true)) << host::AddressKindName(kind);
  }
  EXPECT_TRUE(host::AddressAllowed(AddressKind::kPublic, false));
}

TEST_F(FetchTest, StoresTwoHundredAnswersExactlyWithMode0600) {
  Site({"FetchAllowPrivate = 1", "FetchMaxKB = 4096"});
  struct Case {
    const char* path;
    std::string body;
  };
  const Case cases[] = {
      {"/file", kFileBody},
      {"/big/4194304", Pattern(4194304)},  // exactly FetchMaxKB
      {"/stream/300000", Pattern(300000)},
      {"/redirect-chain/5", kFileBody},
      {"/redirect-to-loopback", kFileBody},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(MNET_Fetch2File(server_.Url(c.path).c_str(), Target(), 0), 0)
        << c.path << "\n"
        << root_.Read("log/error.log");
    EXPECT_TRUE(root_.Read("tmp/fetched") == c.body) << c.path;
    struct stat st;
    ASSERT_EQ(stat(Target().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << c.path;
    unlink(Target().c_str());
  }
}

TEST_F(FetchTest, FailuresLeaveNoFileAndAreLogged) {
  Site({"FetchAllowPrivate = 1", "FetchMaxKB = 4096"});
  std::string port = std::to_string(server_.port());
  struct Case {
    std::string url;
    int answer;
    const char* logged;
  };
  const Case cases[] = {
      {server_.Url("/404"), kFetchFailed, "404"},
      {server_.Url("/300"), kFetchFailed, "HTTP 300"},
      {server_.Url("/redirect-chain/6"), kFetchFailed, "Maximum (5) redirects"},
      {server_.Url("/ftp-redirect"), kFetchRefused, "Protocol \"ftp\""},
      {server_.Url("/file-redirect"), kFetchRefused, "Protocol \"file\""},
      {server_.Url("/big/4194305"), kFetchTooLarge, "FetchMaxKB"},
      {server_.Url("/stream/4194305"), kFetchTooLarge, "FetchMaxKB"},
      {"ftp://127.0.0.1:" + port + "/file", kFetchRefused, "only http and https"},
      {"file:///etc/passwd", kFetchRefused, "only http and https"},
      {"FILE:///etc/passwd", kFetchRefused, "only http and https"},
      {"127.0.0.1:" + port + "/file", kFetchRefused, "only http and https"},
      {"", kFetchRefused, "no URL"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MNET_Fetch2File(c.url.c_str(), Target(), 0), c.answer) << c.url;
    EXPECT_FALSE(TargetExists()) << c.url;
    std::string log = root_.Read("log/error.log");
    std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
    EXPECT_NE(last.find(c.url), std::string::npos) << last;
    EXPECT_NE(last.find(c.logged), std::string::npos) << last;
  }
  // Only the http redirects reached the server; nothing followed them to ftp or file.
  for (const std::string& path : server_.Requests()) EXPECT_NE(path, "/file");
}

TEST_F(FetchTest, PrivateAddressesAreRefusedBeforeAnyRequest) {
  struct Case {
    const char* host;
    const char* logged;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1 is loopback (FetchAllowPrivate is 0)"},
      {"localhost", "is loopback"},
      {"[::1]", "::1 is loopback"},
      {"[::ffff:127.0.0.1]", "is loopback"},
      {"0.0.0.0", "0.0.0.0 is unspecified"},
      {"[::]", ":: is unspecified"},
  };
  for (const Case& c : cases) {
    std::string url = std::string("http://alice:secret@") + c.host + ":" +
                      std::to_string(server_.port()) + "/file";
    EXPECT_EQ(MNET_Fetch2File(url.c_str(), Target(), 0), kFetchRefused) << c.host;
    EXPECT_FALSE(TargetExists()) << c.host;
    std::string log = root_.Read("log/error.log");
    std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
    EXPECT_NE(last.find(c.logged), std::string::npos) << last;
    EXPECT_EQ(last.find("secret"), std::string::npos) << last;
    EXPECT_NE(last.find(std::string("http://") + c.host), std::string::npos) << last;
  }
  EXPECT_TRUE(server_.Requests().empty());
}

// The hook stands the first connection in for a public server; the redirect
// to 127.0.0.1 opens a second connection, which must meet the policy.
TEST_F(FetchTest, ConnectionAfterRedirectIsCheckedAgain) {
  std::string port = std::to_string(server_.port());
  std::string url = "http://public.test:" + port + "/redirect-to-loopback";
  FetchTestHook hook{"public.test:" + port + ":127.0.0.1", 1};
  MNET_FetchSetTestHook(&hook);

  ASSERT_EQ(MNET_Fetch2File(("http://public.test:" + port + "/file").c_str(), Target(), 0), 0)
      << root_.Read("log/error.log");
  unlink(Target().c_str());

  EXPECT_EQ(MNET_Fetch2File(url.c_str(), Target(), 0), kFetchRefused);
  EXPECT_FALSE(TargetExists());
  EXPECT_NE(root_.Read("log/error.log").find("127.0.0.1 is loopback"), std::string::npos);
  EXPECT_EQ(server_.Requests(), (std::vector<std::string>{"/file", "/redirect-to-loopback"}));

  // With both connections let through, the same fetch works: the refusal
  // above came from the second connection's check.
  hook.public_connections = 2;
  MNET_FetchSetTestHook(&hook);
  EXPECT_EQ(MNET_Fetch2File(url.c_str(), Target(), 0), 0);
  EXPECT_TRUE(root_.Read("tmp/fetched") == kFileBody);
}

TEST_F(FetchTest, TimeOutEndsAStalledAnswer) {
  Site({"FetchAllowPrivate = 1", "FetchTimeoutSeconds = 1"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MNET_Fetch2File(server_.Url("/slow").c_str(), Target(), 0), kFetchFailed);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(6000));  // a one-second time-out, on a busy machine
  EXPECT_FALSE(TargetExists());
  EXPECT_NE(root_.Read("log/error.log").find("timed out"), std::string::npos)
      << root_.Read("log/error.log");
}

TEST_F(FetchTest, ExistingFileOrLinkIsLeftAlone) {
  Site({"FetchAllowPrivate = 1"});
  root_.Write("tmp/fetched", "mine");
  EXPECT_EQ(MNET_Fetch2File(server_.Url("/file").c_str(), Target(), 0), kFetchFileError);
  EXPECT_EQ(root_.Read("tmp/fetched"), "mine");

  root_.Write("tmp/elsewhere", "theirs");
  std::string link = root_.Path("tmp/link");
  ASSERT_EQ(symlink(root_.Path("tmp/elsewhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(MNET_Fetch2File(server_.Url("/file").c_str(), link, 0), kFetchFileError);
  EXPECT_EQ(root_.Read("tmp/elsewhere"), "theirs");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A dangling link is not followed either.
  std::string dangling = root_.Path("tmp/dangling");
  ASSERT_EQ(symlink(root_.Path("tmp/nothing").c_str(), dangling.c_str()), 0);
  EXPECT_NE(MNET_Fetch2File(server_.Url("/file").c_str(), dangling, 0), 0);
  EXPECT_FALSE(root_.Exists("tmp/nothing"));
  EXPECT_TRUE(server_.Requests().empty());
}

// libcurl is loaded only when a fetch runs: the program does not link it.
TEST(FetchLinkTest, AttachdeskDoesNotLinkLibcurl) {
  std::string program = std::string(AD_BIN_DIR) + "/attachdesk";
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " is not built";
  FILE* ldd = popen(("ldd " + program + " 2>&1").c_str(), "r");
  ASSERT_NE(ldd, nullptr);
  std::string out;
  char buf[1024];
  while (size_t n = fread(buf, 1, sizeof buf, ldd)) out.append(buf, n);
  pclose(ldd);
  EXPECT_NE(out.find("libc.so"), std::string::npos) << out;
  EXPECT_EQ(out.find("libcurl"), std::string::npos) << out;
}

}  // namespace
