// Process set-up of a CGI program and the request environment it reads.
//
// ProcessInit() runs first in every program's main: it sets the umask, makes
// sure descriptors 0 to 2 are open, sets signal handling and takes one
// snapshot of the environment. Nothing else in the code calls getenv().
#pragma once

#include <string>

namespace host {

// The CGI variables and settings the programs use, read once.
struct CgiEnv {
  std::string request_method;   // REQUEST_METHOD, "GET" when unset
  std::string query_string;     // QUERY_STRING
  std::string path_info;        // PATH_INFO: the URL path after the program's name
  std::string content_type;     // CONTENT_TYPE
  std::string content_length;   // CONTENT_LENGTH as sent (may be empty)
  std::string remote_user;      // REMOTE_USER, set by the web server's authentication
  std::string server_name;      // SERVER_NAME
  std::string https;            // HTTPS ("on" or "1" under TLS)
  std::string webmail_root;     // WEBMAIL_ROOT, empty when unset
};

void ProcessInit();

// The environment snapshot; taken at first use when ProcessInit() did not run
// (tests, tools).
const CgiEnv& Env();

// Takes a new snapshot of the environment and forgets every per-process cache
// that depends on it (root, site settings, session). For tests.
void ReloadEnv();

// Registers a function that ReloadEnv() calls, so a module can drop its cache.
void OnReloadEnv(void (*reset)());

// Flushes standard output and ends the process with `status`.
[[noreturn]] void Exit(int status);

}  // namespace host
