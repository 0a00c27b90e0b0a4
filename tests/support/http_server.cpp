#include "support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace testing_support {

int ListenOnLoopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 16);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

HttpServer::HttpServer() {
  fd_ = ListenOnLoopback(port_);
  thread_ = std::thread([this] { Loop(); });
}

HttpServer::~HttpServer() {
  shutdown(fd_, SHUT_RDWR);
  thread_.join();
  close(fd_);
}

void HttpServer::Serve(const std::string& path, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  bodies_[path] = body;
}

std::vector<std::string> HttpServer::Targets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(targets_, {});
}

void HttpServer::Loop() {
  for (;;) {
    int c = accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    std::string target = request.substr(0, request.find("\r\n"));
    std::string path = target.substr(target.find(' ') + 1);
    path = path.substr(0, path.find(' '));
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
      auto it = bodies_.find(path);
      answer = it == bodies_.end()
                   ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                   : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(it->second.size()) +
                         "\r\nConnection: close\r\n\r\n" + it->second;
    }
    for (size_t sent = 0; sent < answer.size();) {
      ssize_t n = write(c, answer.data() + sent, answer.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(c);
  }
}

}  // namespace testing_support
