#include "host/net/curl_loader.h"

#include <dlfcn.h>

namespace host {
namespace {

struct Loaded {
  CurlApi api{};
  bool ok = false;
  std::string error;
};

template <typename F>
bool Bind(void* library, const char* name, F& out, std::string& error) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    error = std::string("libcurl.so.4 has no ") + name;
    return false;
  }
  out = reinterpret_cast<F>(symbol);
  return true;
}

Loaded Load() {
  Loaded l;
  void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    l.error = std::string("cannot load libcurl.so.4: ") + (why ? why : "unknown error");
    return l;
  }
  CURLcode (*global_init)(long) = nullptr;
  CurlApi& a = l.api;
  if (!Bind(library, "curl_global_init", global_init, l.error) ||
      !Bind(library, "curl_easy_init", a.easy_init, l.error) ||
      !Bind(library, "curl_easy_setopt", a.easy_setopt, l.error) ||
      !Bind(library, "curl_easy_perform", a.easy_perform, l.error) ||
      !Bind(library, "curl_easy_getinfo", a.easy_getinfo, l.error) ||
      !Bind(library, "curl_easy_cleanup", a.easy_cleanup, l.error) ||
      !Bind(library, "curl_easy_strerror", a.easy_strerror, l.error) ||
      !Bind(library, "curl_slist_append", a.slist_append, l.error) ||
      !Bind(library, "curl_slist_free_all", a.slist_free_all, l.error)) {
    return l;
  }
  CURLcode code = global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    l.error = std::string("curl_global_init failed: ") + a.easy_strerror(code);
    return l;
  }
  l.ok = true;
  return l;
}

}  // namespace

const CurlApi* LoadCurl(std::string& error) {
  static const Loaded loaded = Load();
  if (!loaded.ok) {
    error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}

}  // namespace host
