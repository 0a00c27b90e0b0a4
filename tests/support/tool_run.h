// Runs build/bin/attachtool as operators do, in a test root (WEBMAIL_ROOT is
// already set by TestRoot), and captures what it prints.
#pragma once

#include <string>
#include <vector>

#include "support/test_root.h"

namespace testing_support {

struct ToolRun {
  int status = -1;  // exit status, -1 when it did not exit
  std::string out;
  std::string err;
};

ToolRun RunAttachtool(const TestRoot& root, const std::vector<std::string>& args);

}  // namespace testing_support
