// What the cabinet and ACL tests share: grants in a user's ".useracl", and
// work run in several processes at once.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/acl/useracl/useracl.h"

namespace cabinet_test {

// Adds a grant to `owner`'s ".useracl" (made when missing).
inline void AddGrant(const std::string& owner, const std::string& resource,
                     const std::string& pattern, int set, int inherit,
                     std::uint8_t kind = kMaclGrant) {
  std::string path;
  MACL_GetAclFile(owner, path);
  MACL_Handle h;
  ASSERT_EQ(MACL_Open(h, path, kMaclCreate | kMaclReadWrite), 0);
  MACL_Record r;
  r.resource = resource;
  r.access_id = pattern;
  r.set_id = set;
  r.kind = kind;
  r.inherit = static_cast<std::uint8_t>(inherit);
  ASSERT_EQ(MACL_RecordAdd(h, r, 0), 0);
}

// Runs `body(i)` in `processes` child processes at once; the number of
// children that failed (answered false or did not exit).
inline int RunInProcesses(int processes, const std::function<bool(int)>& body) {
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(body(i) ? 0 : 1);
    if (pid > 0) children.push_back(pid);
  }
  int failed = processes - static_cast<int>(children.size());
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
  }
  return failed;
}

}  // namespace cabinet_test
