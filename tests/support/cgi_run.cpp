#include "support/cgi_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace testing_support {

namespace {

void AppendFrom(int fd, std::string& to, bool& open) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    to.append(buf, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open = false;
  }
}

}  // namespace

CgiResult RunCgi(const std::string& program, const std::string& root, const CgiRequest& req) {
  std::map<std::string, std::string> env = {
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"REQUEST_METHOD", req.method},
      {"QUERY_STRING", req.query},
      {"SERVER_NAME", "localhost"},
      {"SCRIPT_NAME", "/cgi-bin/" + program},
      {"WEBMAIL_ROOT", root},
      {"PATH", "/usr/bin:/bin"},
  };
  if (!req.remote_user.empty()) env["REMOTE_USER"] = req.remote_user;
  if (!req.content_type.empty()) env["CONTENT_TYPE"] = req.content_type;
  if (req.send_content_length && (req.method == "POST" || !req.body.empty())) {
    env["CONTENT_LENGTH"] = std::to_string(req.body.size());
  }
  for (const auto& [k, v] : req.env) env[k] = v;
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = getenv(keep)) env.emplace(keep, v);
  }
  std::vector<std::string> envs;
  for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string bin = std::string(AD_BIN_DIR) + "/" + program;
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (req.in_child) req.in_child();
    std::vector<std::string> words = req.wrapper;
    words.push_back(bin);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    // A wrapper is looked up in PATH; the program is named whole.
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);

  CgiResult r;
  size_t sent = 0;
  bool in_open = true, out_open = true, err_open = true;
  if (req.body.empty()) {
    close(in[1]);
    in_open = false;
  }
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    int out_i = -1, err_i = -1, in_i = -1;
    if (out_open) { fds[n] = {out[0], POLLIN, 0}; out_i = n++; }
    if (err_open) { fds[n] = {err[0], POLLIN, 0}; err_i = n++; }
    if (in_open) { fds[n] = {in[1], POLLOUT, 0}; in_i = n++; }
    if (poll(fds, static_cast<nfds_t>(n), 30000) <= 0) break;
    if (out_i >= 0 && fds[out_i].revents) AppendFrom(out[0], r.output, out_open);
    if (err_i >= 0 && fds[err_i].revents) AppendFrom(err[0], r.error, err_open);
    if (in_i >= 0 && fds[in_i].revents) {
      ssize_t w = write(in[1], req.body.data() + sent, req.body.size() - sent);
      if (w > 0) sent += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) sent = req.body.size();
      if (sent == req.body.size()) {
        close(in[1]);
        in_open = false;
      }
    }
  }
  if (in_open) close(in[1]);
  close(out[0]);
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  size_t cut = r.output.find("\r\n\r\n");
  size_t skip = 4;
  size_t lf = r.output.find("\n\n");
  if (lf != std::string::npos && (cut == std::string::npos || lf < cut)) {
    cut = lf;
    skip = 2;
  }
  if (cut != std::string::npos) {
    r.headers = r.output.substr(0, cut + skip / 2);
    r.page = r.output.substr(cut + skip);
  } else {
    r.headers = r.output;
  }
  return r;
}

Multipart::Multipart(std::string boundary) : boundary_(std::move(boundary)) {}

Multipart& Multipart::Field(const std::string& name, const std::string& value) {
  body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value + "\r\n";
  return *this;
}

Multipart& Multipart::File(const std::string& name, const std::string& filename,
                           const std::string& data, const std::string& type) {
  body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + filename + "\"\r\nContent-Type: " + type + "\r\n\r\n" + data +
           "\r\n";
  return *this;
}

std::string Multipart::Body() const { return body_ + "--" + boundary_ + "--\r\n"; }

std::string Multipart::ContentType() const {
  return "multipart/form-data; boundary=" + boundary_;
}

}  // namespace testing_support
