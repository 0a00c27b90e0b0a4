// Runs a built program as the web server would run a CGI program: with a CGI
// environment, the request body on standard input, the answer captured.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct CgiRequest {
  std::string method = "GET";
  std::string query;
  std::string content_type;
  std::string body;
  std::string remote_user = "alice";
  std::map<std::string, std::string> env;  // more variables, or overrides
  bool send_content_length = true;
  // Runs in the child just before the program starts (getpid() is the
  // program's process id).
  std::function<void()> in_child;
  // A command that runs the program, e.g. {"unshare", "--pid", "--fork"}.
  std::vector<std::string> wrapper;
};

struct CgiResult {
  int status = -1;          // exit status
  std::string output;       // everything on standard output
  std::string headers;      // output up to the blank line
  std::string page;         // output after the blank line
  std::string error;        // standard error
};

// Runs build/bin/<program> with the root's WEBMAIL_ROOT.
CgiResult RunCgi(const std::string& program, const std::string& root, const CgiRequest& req);

// A multipart/form-data body builder.
class Multipart {
 public:
  explicit Multipart(std::string boundary = "----adtestboundary7d0a");
  Multipart& Field(const std::string& name, const std::string& value);
  Multipart& File(const std::string& name, const std::string& filename, const std::string& data,
                  const std::string& type = "application/octet-stream");
  std::string Body() const;
  std::string ContentType() const;

 private:
  std::string boundary_;
  std::string body_;
};

}  // namespace testing_support
