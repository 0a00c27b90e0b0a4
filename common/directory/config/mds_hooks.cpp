#include "common/directory/config/mds_hooks.h"

#include <dlfcn.h>

#include <string>

#include "common/directory/base/mds_log.h"
#include "host/files/log.h"
#include "host/files/root.h"

void* MDSADD_LoadFunc(const char* name) {
  std::string library = host::RootPath("lib/libmdsadd.so");
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char* why = dlerror();
    MdsLog(ErrorLogPath(), "MDSADD_LoadFunc: dlopen: %s failed (%s)", library.c_str(),
           why ? why : "");
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(handle, name);
  if (!symbol) {
    const char* why = dlerror();
    if (why) {
      MdsLog(ErrorLogPath(), "MDSADD_LoadFunc: dlsym %s failed (%s)", name, why);
    } else {
      MdsLog(ErrorLogPath(), "MDSADD_LoadFunc: dlsym %s failed with no error message", name);
    }
  }
  return symbol;
}

namespace {

template <typename Fn, typename... Args>
int Call(const char* name, Args... args) {
  auto fn = reinterpret_cast<Fn>(MDSADD_LoadFunc(name));
  return fn ? fn(args...) : MDSADD_FAILED;
}

}  // namespace

int MDSADD_UserCreate_PreAdd(const char* group, const char* user, const char* password, int level,
                             int is_hash, int no_password, MDS_UserInfo* info) {
  return Call<MDSADD_UserCreateFn>("MDSADD_UserCreate_PreAdd", group, user, password, level,
                                   is_hash, no_password, static_cast<void*>(info));
}

int MDSADD_UserCreate_PostAdd(const char* group, const char* user, const char* password, int level,
                              int is_hash, int no_password, MDS_UserInfo* info) {
  return Call<MDSADD_UserCreateFn>("MDSADD_UserCreate_PostAdd", group, user, password, level,
                                   is_hash, no_password, static_cast<void*>(info));
}

int MDSADD_UserInfoUpdate_PreAdd(const char* user, MDS_UserInfo* info) {
  return Call<MDSADD_UserInfoFn>("MDSADD_UserInfoUpdate_PreAdd", user, static_cast<void*>(info));
}

int MDSADD_UserInfoGet_PostAdd(const char* user, MDS_UserInfo* info) {
  return Call<MDSADD_UserInfoFn>("MDSADD_UserInfoGet_PostAdd", user, static_cast<void*>(info));
}

int MDSADD_UserPassUpdate_PostAdd(const char* user, const char* password, int is_hash,
                                  int no_password) {
  return Call<MDSADD_UserPassUpdateFn>("MDSADD_UserPassUpdate_PostAdd", user, password, is_hash,
                                       no_password);
}

int MDSADD_UserRemove_PostAdd(const char* user, MDS_UserInfo* info) {
  return Call<MDSADD_UserInfoFn>("MDSADD_UserRemove_PostAdd", user, static_cast<void*>(info));
}
