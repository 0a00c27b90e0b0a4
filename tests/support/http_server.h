// A one-thread HTTP server on 127.0.0.1 that serves fixed bodies by path
// and records each request's target, for the URL fetches of program tests.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A TCP socket listening on 127.0.0.1 at a free port, which goes to `port`;
// the caller closes it. Connections to it are accepted by the kernel even
// while nobody reads them.
int ListenOnLoopback(int& port);

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // "127.0.0.1:<port>".
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  // Serves `body` at `path`; other paths answer 404.
  void Serve(const std::string& path, const std::string& body);
  // The request lines received since the last call.
  std::vector<std::string> Targets();

 private:
  void Loop();
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> bodies_;
  std::vector<std::string> targets_;
};

}  // namespace testing_support
