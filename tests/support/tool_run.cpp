#include "support/tool_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

ToolRun RunAttachtool(const TestRoot& root, const std::vector<std::string>& args) {
  std::string program = std::string(AD_BIN_DIR) + "/attachtool";
  // Beside tmp/, not in it: what the tool finds there is the test's alone.
  std::string out = root.Path("attachtool.out");
  std::string err = root.Path("attachtool.err");
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{program.data()};
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ToolRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = root.Read("attachtool.out");
  run.err = root.Read("attachtool.err");
  return run;
}

}  // namespace testing_support
