// Opening and closing a directory context: choosing and reading mds.conf,
// loading back ends, installing the built-in operations.
#include <dlfcn.h>

#include <cstring>

#include "common/directory/base/mds_log.h"
#include "common/directory/config/mds_conf.h"
#include "common/directory/mds.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/files/log.h"
#include "host/files/root.h"
#include "host/site/domain.h"
#include "host/site/domain_table.h"
#include "host/site/site.h"

const char* const kMdsOperationNames[MDS_OP_COUNT] = {
    "MDS_GroupUListGet",  "MDS_GroupAListGet",   "MDS_GroupGListGet",   "MDS_GroupGInfoListGet",
    "MDS_GroupInfoGet",   "MDS_GroupCreate",     "MDS_GroupDelete",     "MDS_GroupInfoUpdate",
    "MDS_GroupRename",    "MDS_GroupUserCreate", "MDS_GroupUserDelete", "MDS_GroupUserMove",
    "MDS_GroupIsAdm",     "MDS_GroupAdmCreate",  "MDS_GroupAdmDelete",  "MDS_UserGListGet",
    "MDS_UserInfoUpdate", "MDS_UserInfoGet",     "MDS_UserPassUpdate",  "MDS_UserPassGet",
    "MDS_UserCreate",     "MDS_UserDelete",      "MDS_IsUserExist",     "MDS_UserSearch",
    "MDS_Shutdown",
};

namespace {

constexpr int kInitFailed = -1;

std::string LogFile(const MDS_Context* ctx) {
  return ctx->logfile[0] ? std::string(ctx->logfile) : MdsLoadLogPath();
}

template <std::size_t N>
bool Fits(char (&field)[N], std::string_view value) {
  if (value.size() >= N) return false;
  MSTR_Copy(field, N, value);
  return true;
}

// Releases what a failed initialisation loaded; the context then holds
// nothing.
int Fail(MDS_Context* ctx) {
  for (void*& handle : ctx->handles) {
    if (handle) dlclose(handle);
    handle = nullptr;
  }
  for (void*& op : ctx->ops) op = nullptr;
  return kInitFailed;
}

bool RecordHandle(MDS_Context* ctx, void* handle) {
  for (void*& slot : ctx->handles) {
    if (!slot) {
      slot = handle;
      return true;
    }
  }
  dlclose(handle);
  MdsLog(LogFile(ctx), "MDS_Init: more than %d libraries", MDS_HANDLE_SLOTS);
  return false;
}

// Opens each library of a colon-terminated list in order and records the
// last one's handle (the others stay loaded for it). The last handle, or
// null after a log line.
void* OpenList(MDS_Context* ctx, const std::string& list) {
  if (list.find(':') == std::string::npos) {
    MdsLog(LogFile(ctx), "MDS_Init: dlopen %s failed", list.c_str());
    return nullptr;
  }
  void* last = nullptr;
  for (std::size_t at = 0, colon; (colon = list.find(':', at)) != std::string::npos;
       at = colon + 1) {
    std::string library = list.substr(at, colon - at);
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
      const char* why = dlerror();
      MdsLog(LogFile(ctx), "MDS_Init: dlopen %s failed (%s)", list.c_str() + at, why ? why : "");
      if (last) RecordHandle(ctx, last);  // unloaded again by Fail
      return nullptr;
    }
    // Libraries before the last stay loaded, as the last may need them.
    last = handle;
  }
  return RecordHandle(ctx, last) ? last : nullptr;
}

// dlsym with the log lines of `prefix` ("MDS_Init: " or "MDS_Init: owfunc ").
void* Symbol(MDS_Context* ctx, void* handle, const char* name, const char* prefix) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol) return symbol;
  const char* why = dlerror();
  if (why) {
    MdsLog(LogFile(ctx), "%sdlsym %s failed (%s)", prefix, name, why);
  } else {
    MdsLog(LogFile(ctx), "%sdlsym %s failed with no error message", prefix, name);
  }
  return nullptr;
}

// Hands a loaded back end its own configuration when it asks for one
// (MDS_Configure, see mds_abi.h).
bool Configure(MDS_Context* ctx, void* handle, const std::string& backend_conf) {
  dlerror();
  auto configure = reinterpret_cast<MDS_ConfigureFn>(dlsym(handle, "MDS_Configure"));
  if (!configure) return true;
  int r = configure(ctx, backend_conf.empty() ? nullptr : backend_conf.c_str());
  if (r != 0) {
    MdsLog(LogFile(ctx), "MDS_Init: MDS_Configure(%s)=%d",
           backend_conf.empty() ? "(null)" : backend_conf.c_str(), r);
    return false;
  }
  return true;
}

bool LoadPreload(MDS_Context* ctx, const MdsConf& conf) {
  void* handle = OpenList(ctx, conf.preload);
  if (!handle) return false;
  for (int i = 0; i < MDS_OP_COUNT; ++i) {
    if (!(ctx->ops[i] = Symbol(ctx, handle, kMdsOperationNames[i], "MDS_Init: "))) return false;
  }
  return Configure(ctx, handle, conf.backend_conf);
}

int OperationSlot(std::string_view name) {
  for (int i = 0; i < MDS_OP_COUNT; ++i) {
    if (name == kMdsOperationNames[i]) return i;
  }
  return -1;
}

bool LoadOverride(MDS_Context* ctx, const MdsOverride& entry, const std::string& backend_conf) {
  void* handle = OpenList(ctx, entry.libraries);
  if (!handle) return false;
  const std::string& ops = entry.operations;
  for (std::size_t at = 0, colon; (colon = ops.find(':', at)) != std::string::npos;
       at = colon + 1) {
    std::string name = ops.substr(at, colon - at);
    int slot = OperationSlot(name);
    if (slot < 0) {
      MdsLog(LogFile(ctx), "MDS_Init: unknown owfunc %s", name.c_str());
      return false;
    }
    if (!(ctx->ops[slot] = Symbol(ctx, handle, name.c_str(), "MDS_Init: owfunc "))) return false;
  }
  return Configure(ctx, handle, backend_conf);
}

// The configuration file's text; empty when it is missing or empty.
std::string ReadConf(const std::string& path) {
  if (path.empty()) return {};
  std::string text;
  if (path.find("/adbook/PA.") != std::string::npos) {
    if (MFILE_Read(path, text) < 0) text.clear();
    return text;
  }
  const std::string* cached = nullptr;
  if (MSHM_FileRead(path, cached, 1) > 0 && cached) text = *cached;
  return text;
}

// Where an assignment "...@domain" puts the base directory.
bool SetBaseForDomain(MDS_Context* ctx, std::string_view domain) {
  std::string base = isMultiDomain() ? GetDomainDir(domain) : host::RootPath("etc");
  return Fits(ctx->base, base);
}

enum class Choice { kNone, kFile, kBuiltin, kRefused };

// Classifies the assignment: the configuration file it chooses, the built-in
// table at once ("lgrp://"), or a refusal (logged to error.log).
Choice Classify(MDS_Context* ctx, std::string_view a, std::string& file) {
  const std::string etc_conf = host::RootPath("etc/mds.conf");
  if (a.starts_with("@")) {
    std::string_view domain = a.substr(1);
    if (domain.empty()) return Choice::kNone;
    if (!IsSafeDomainName(domain)) return Choice::kRefused;
    file = isMultiDomain() ? GetDomainDir(domain) + "/mds.conf" : etc_conf;
    return SetBaseForDomain(ctx, domain) ? Choice::kFile : Choice::kRefused;
  }
  std::size_t sep = a.find("://");
  if (sep == std::string_view::npos) return Choice::kNone;
  std::string scheme(a.substr(0, sep));
  if (scheme.find('/') != std::string::npos) {
    MdsLog(ErrorLogPath(), "MDS_Init: access violation with assignment '%s://'", scheme.c_str());
    return Choice::kRefused;
  }
  if (scheme == "lgrp") return Choice::kBuiltin;
  file = scheme == "mds" ? etc_conf : host::RootPath("etc/mds." + scheme + ".conf");
  std::string_view rest = a.substr(sep + 3);
  std::size_t at = rest.find('@');
  if (at != std::string_view::npos) {
    std::string_view domain = rest.substr(at + 1);
    if (!IsSafeDomainName(domain) || !SetBaseForDomain(ctx, domain)) return Choice::kRefused;
  }
  return Choice::kFile;
}

}  // namespace

int MDS_Init(MDS_Context* ctx, const char* path, const char* assignment) {
  *ctx = MDS_Context{};
  // A default that does not fit its field is taken from the root at use.
  Fits(ctx->logfile, MdsLoadLogPath());
  if (!Fits(ctx->base, host::RootPath("public"))) return kInitFailed;
  MSTR_Copy(ctx->defgroup, sizeof ctx->defgroup, "/UNCATEGORIZED");
  ctx->langopt = 1;

  std::string file;
  if (assignment && *assignment) {
    std::string_view a(assignment);
    if (!Fits(ctx->assignment, a)) {
      MdsLog(ErrorLogPath(), "MDS_Init: assignment too long");
      return kInitFailed;
    }
    Choice choice = Classify(ctx, a, file);
    // The domain ids are qualified with must name a folder of its own.
    std::string domain = MDS_LGRP_Domain(ctx);
    if (choice == Choice::kRefused || (!domain.empty() && !IsSafeDomainName(domain))) {
      MdsLog(ErrorLogPath(), "MDS_Init: refused assignment '%s'", assignment);
      return kInitFailed;
    }
    if (choice == Choice::kBuiltin) {
      MDS_InstallBuiltin(ctx);
      return 0;
    }
  }
  const std::string etc_conf = host::RootPath("etc/mds.conf");
  if (file.empty()) file = path && *path ? std::string(path) : etc_conf;

  std::string text = ReadConf(file);
  if (text.empty() && path && *path && file != path) text = ReadConf(path);
  if (text.empty() && file != etc_conf) text = ReadConf(etc_conf);
  if (text.empty()) {
    MDS_InstallBuiltin(ctx);
    return 0;
  }

  MdsConf conf;
  MDS_ReadConf(ctx, text, conf);
  if (!conf.too_long.empty()) {
    MdsLog(LogFile(ctx), "MDS_Init: the value of \"%s\" is too long", conf.too_long.c_str());
    return Fail(ctx);
  }
  if (!conf.preload.empty()) {
    if (!LoadPreload(ctx, conf)) return Fail(ctx);
  } else {
    MDS_InstallBuiltin(ctx);
  }
  std::size_t entries = 0;
  for (const MdsOverride& entry : conf.overrides) {
    if (entry.libraries.empty()) break;  // an empty entry ends the table
    if (++entries > kMdsOverrideMax) {
      MdsLog(LogFile(ctx), "MDS_Init: more than %zu owfunc lines", kMdsOverrideMax);
      return Fail(ctx);
    }
    if (!LoadOverride(ctx, entry, conf.backend_conf)) {
      MdsLog(LogFile(ctx), "MDS_Init: owfunc %s:%s failed", entry.libraries.c_str(),
             entry.operations.c_str());
      return Fail(ctx);
    }
  }
  return 0;
}

int MDS_Close(MDS_Context* ctx) {
  int result = MDS_Shutdown(ctx);
  for (int i = 0; i < MDS_HANDLE_SLOTS && ctx->handles[i]; ++i) {
    if (dlclose(ctx->handles[i]) != 0) {
      MdsLog(LogFile(ctx), "MDS_Close: dlclose the %dth handle failed", i);
    }
  }
  for (void*& handle : ctx->handles) handle = nullptr;
  for (void*& op : ctx->ops) op = nullptr;
  return result;
}

std::string MDS_ContextDomain(const MDS_Context* ctx) {
  std::string_view a(ctx->assignment);
  if (a.size() > 1 && a.front() == '@') return std::string(a.substr(1));
  return session().domain.empty() ? GINI().default_domain : session().domain;
}

int MDS_OptionIsSet(const MDS_Context* ctx, unsigned bit) {
  return (ctx->options & bit) ? 1 : 0;
}
