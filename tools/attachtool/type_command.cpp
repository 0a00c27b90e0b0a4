// attachtool type FILE...: the content type of each file, as the attachment
// intake guesses it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "attachtool.h"
#include "common/mime/types/content_type.h"
#include "host/files/files.h"

int TypeCommand(int argc, char** argv) {
  std::vector<const char*> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options && std::strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("type");
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return UsageError("type");

  int status = 0;
  std::string data;
  for (const char* file : files) {
    if (MFILE_Read(file, data) < 0) {
      std::fprintf(stderr, "attachtool: can't read %s: %s\n", file, std::strerror(errno));
      status = 2;
      continue;
    }
    std::string_view path = file;
    std::string base(path.substr(path.rfind('/') + 1));
    std::printf("%s\t%s\n", file, CT_Guess(data.data(), data.size(), base.c_str()));
  }
  return status;
}
