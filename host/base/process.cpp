#include "host/base/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace host {

namespace {

std::optional<CgiEnv>& Snapshot() {
  static std::optional<CgiEnv> env;
  return env;
}

std::vector<void (*)()>& ResetHooks() {
  static std::vector<void (*)()> hooks;
  return hooks;
}

std::string Get(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

CgiEnv Read() {
  CgiEnv e;
  e.request_method = Get("REQUEST_METHOD");
  if (e.request_method.empty()) e.request_method = "GET";
  e.query_string = Get("QUERY_STRING");
  e.path_info = Get("PATH_INFO");
  e.content_type = Get("CONTENT_TYPE");
  e.content_length = Get("CONTENT_LENGTH");
  e.remote_user = Get("REMOTE_USER");
  e.server_name = Get("SERVER_NAME");
  e.https = Get("HTTPS");
  e.webmail_root = Get("WEBMAIL_ROOT");
  return e;
}

// Descriptors 0 to 2 must be open, so that a file the program opens never
// becomes its standard output by accident.
void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
}

}  // namespace

void ProcessInit() {
  umask(077);
  OpenStandardDescriptors();
  // A client that goes away must not kill the process half-way through a
  // file write: writes to the closed pipe fail with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  static char out_buffer[1 << 16];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  Snapshot() = Read();
}

const CgiEnv& Env() {
  auto& env = Snapshot();
  if (!env) env = Read();
  return *env;
}

void ReloadEnv() {
  Snapshot() = Read();
  for (auto reset : ResetHooks()) reset();
}

void OnReloadEnv(void (*reset)()) { ResetHooks().push_back(reset); }

void Exit(int status) {
  std::fflush(stdout);
  std::exit(status);
}

}  // namespace host
