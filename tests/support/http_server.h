// A one-thread HTTP server on 127.0.0.1 for tests of URL fetches: it serves
// fixed bodies by path (404 for any other) and records each request's line.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // "127.0.0.1:<port>"
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
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
