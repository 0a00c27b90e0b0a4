#include "host/files/root.h"

#include "host/base/process.h"

namespace host {

namespace {

struct Roots {
  std::string root;
  std::string tmp;
  bool set = false;
};

Roots& Cache() {
  static Roots roots;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    OnReloadEnv([] { Cache().set = false; });
  }
  if (!roots.set) {
    roots.root = Env().webmail_root.empty() ? "/webmail" : Env().webmail_root;
    while (roots.root.size() > 1 && roots.root.back() == '/') roots.root.pop_back();
    roots.tmp = roots.root + "/tmp";
    roots.set = true;
  }
  return roots;
}

}  // namespace

const std::string& Root() { return Cache().root; }

std::string RootPath(std::string_view sub) {
  std::string p = Root();
  p += '/';
  p += sub;
  return p;
}

const std::string& TmpDir() { return Cache().tmp; }

}  // namespace host
