#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/virus/avscan.h"
#include "host/base/memstream.h"
#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/files/root.h"

void AVS_LibraryCloser::operator()(void* handle) const {
  if (handle) dlclose(handle);
}

bool AVS_IsOstrel(const AVS_Context& ctx) {
  return EqualsNoCase(ctx.Vendor, "ostrel");
}

namespace {

constexpr std::size_t kLineSize = 1024;  // configuration lines of up to 1023 characters

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

void SetText(char* field, std::size_t size, std::string_view value) {
  MSTR_Copy(field, size, value);
}

// One "Key = Value" line. Answers true when it was a ReplaceMsg line, which
// lets continuation lines follow.
bool ParseLine(AVS_Context& ctx, std::string_view line) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view key = line.substr(0, eq);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
  std::string_view value = line.substr(eq + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  // Trailing blanks go only before a newline: the last line of a text without
  // one keeps them.
  if (!value.empty() && value.back() == '\n') {
    value.remove_suffix(1);
    while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
  }

  if (key == "Vendor") {
    SetText(ctx.Vendor, sizeof ctx.Vendor, value);
  } else if (key == "EngineLib" || key == "Engine") {
    SetText(ctx.EngineLib, sizeof ctx.EngineLib, value);
  } else if (key == "EngineConfig") {
    SetText(ctx.EngineConfig, sizeof ctx.EngineConfig, value);
  } else if (key == "Server") {
    SetText(ctx.Server, sizeof ctx.Server, value);
  } else if (key == "PatternFile" || key == "Pattern") {
    SetText(ctx.PatternFile, sizeof ctx.PatternFile, value);
  } else if (key == "ScanMode") {
    if (EqualsNoCase(value, "MIME"))
      ctx.ScanMode = AVS_SCAN_MIME;
    else if (EqualsNoCase(value, "ENTIRE"))
      ctx.ScanMode = AVS_SCAN_ENTIRE;
  } else if (key == "SecondaryScan") {
    ctx.SecondaryScan = EqualsNoCase(value, "off") || value == "0" ? 0 : 1;
  } else if (key == "ActionMode") {
    if (EqualsNoCase(value, "NONE"))
      ctx.ActionMode = AVS_ACTION_NONE;
    else if (EqualsNoCase(value, "REPAIR"))
      ctx.ActionMode = AVS_ACTION_REPAIR;
    else if (EqualsNoCase(value, "DELETE"))
      ctx.ActionMode = AVS_ACTION_DELETE;
  } else if (key == "DeleteHeader") {
    std::string number(value);
    long n = std::strtol(number.c_str(), nullptr, 10);
    ctx.DeleteHeader = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
  } else if (key == "ReplaceMsg") {
    // Room for the value and its newline.
    std::size_t n = MSTR_Copy(ctx.ReplaceMsg, sizeof ctx.ReplaceMsg - 1, value);
    ctx.ReplaceMsg[n] = '\n';
    ctx.ReplaceMsg[n + 1] = '\0';
    return true;
  }
  return false;
}

// Releases what a load took when it fails after the library was opened.
int FailLoad(AVS_Context& ctx, bool initialised) {
  if (initialised && ctx.close) ctx.close();
  ctx.pattern.clear();
  ctx.pattern.shrink_to_fit();
  ctx.pattern_length = 0;
  ctx.library.reset();
  ctx.init = nullptr;
  ctx.scan = nullptr;
  ctx.close = nullptr;
  ctx.loaded = 0;
  return 0;
}

const char* DlError() {
  const char* text = dlerror();
  return text ? text : "unknown error";
}

}  // namespace

int AVS_ConfigParse(AVS_Context& ctx, const char* text) {
  ctx.ScanMode = AVS_SCAN_ENTIRE;
  ctx.SecondaryScan = 1;
  ctx.ActionMode = AVS_ACTION_NONE;
  ctx.DeleteHeader = 0;
  MSTR_Copy(ctx.ReplaceMsg, sizeof ctx.ReplaceMsg, kAvsDefaultReplaceMsg);
  if (!text) return 0;

  MEM_FP fp;
  MEM_FPInit(fp, text, std::strlen(text));
  char line[kLineSize];
  bool continuation = false;
  while (MEM_FPGets(fp, line, sizeof line)) {
    if (line[0] == '#') continue;  // comments do not end a continuation
    if (continuation && line[0] == '\\') {
      std::size_t have = std::strlen(ctx.ReplaceMsg);
      std::size_t n = std::strlen(line);
      if (have + n <= sizeof ctx.ReplaceMsg - 1) {
        std::memcpy(ctx.ReplaceMsg + have, line + 1, n);  // the rest and its NUL
      }
      continue;
    }
    continuation = ParseLine(ctx, line);
  }
  return 0;
}

int AVS_Load(AVS_Context& ctx, const char* config_text, int load_library) {
  // A reload starts from an initialised engine, which a failure closes.
  bool initialised = !load_library && ctx.loaded;
  ctx.loaded = 0;
  if (config_text) {
    AVS_ConfigParse(ctx, config_text);
  } else {
    std::string text;
    if (MFILE_Read(host::RootPath("etc/avscan.conf"), text) < 1) return FailLoad(ctx, initialised);
    AVS_ConfigParse(ctx, text.c_str());
  }
  ctx.report_size = 512;

  const char* init_name;
  const char* scan_name;
  const char* close_name;
  if (AVS_IsOstrel(ctx)) {
    init_name = "Ostrel_initpath";
    scan_name = "Ostrel_avscan";
    close_name = nullptr;
    ctx.report_size = 0;
    if (!ctx.EngineConfig[0]) {
      MSTR_Copy(ctx.EngineConfig, sizeof ctx.EngineConfig,
                host::RootPath("ostrelscan/ostrel.conf"));
    }
  } else {
    init_name = "TAV_Init2";
    scan_name = "TAV_Scan";
    close_name = "TAV_Close";
    // The engine gets "EngineConfig TAB Server", cut to the field.
    std::string config = ctx.EngineConfig;
    if (!config.empty()) config += '\t';
    config += ctx.Server;
    MSTR_Copy(ctx.EngineConfig, sizeof ctx.EngineConfig, config);
  }

  if (load_library) {
    FailLoad(ctx, false);  // nothing bound yet
    if (!ctx.EngineLib[0]) {
      // dlopen("") would answer the program itself.
      std::fprintf(stderr, "dlopen %s: %s\n", ctx.EngineLib, "no engine library configured");
      return 0;
    }
    dlerror();
    // Local: an engine's own symbols bind within it, never to those of an
    // engine or back end loaded before it, and never to a later one's.
    ctx.library.reset(dlopen(ctx.EngineLib, RTLD_NOW | RTLD_LOCAL));
    if (!ctx.library) {
      std::fprintf(stderr, "dlopen %s: %s\n", ctx.EngineLib, DlError());
      return FailLoad(ctx, false);
    }
    ctx.init = reinterpret_cast<TAV_InitFn>(dlsym(ctx.library.get(), init_name));
    if (!ctx.init) {
      std::fprintf(stderr, "dlsym(TAV_Init): %s\n", DlError());
      return FailLoad(ctx, false);
    }
    ctx.scan = reinterpret_cast<TAV_ScanFn>(dlsym(ctx.library.get(), scan_name));
    if (!ctx.scan) {
      std::fprintf(stderr, "dlsym(TAV_Scan): %s\n", DlError());
      return FailLoad(ctx, false);
    }
    if (close_name) {
      ctx.close = reinterpret_cast<TAV_CloseFn>(dlsym(ctx.library.get(), close_name));
      dlerror();
    }
  }
  // A reload of a context that was never opened has nothing to initialise.
  if (!ctx.library || !ctx.init || !ctx.scan) return FailLoad(ctx, false);

  initialised = ctx.init(ctx.EngineConfig) != 0;
  if (!initialised) return FailLoad(ctx, false);

  ctx.pattern.clear();
  ctx.pattern_length = 0;
  if (ctx.PatternFile[0]) {
    std::int64_t n = MFILE_Read(ctx.PatternFile, ctx.pattern);
    if (n < 1 || n > INT_MAX) return FailLoad(ctx, initialised);
    ctx.pattern_length = static_cast<int>(n);
  }
  ctx.loaded = 1;
  return 1;
}

int AVS_Open(AVS_Context& ctx, const char* config_text) {
  ctx = AVS_Context{};
  return AVS_Load(ctx, config_text, 1);
}

int AVS_Reload(AVS_Context& ctx, const char* config_text) {
  // EngineConfig holds the text the engine was given last time; read it
  // afresh so "A TAB B" does not grow into "A TAB B TAB B".
  ctx.EngineConfig[0] = '\0';
  return AVS_Load(ctx, config_text, 0);
}

int AVS_Close(AVS_Context* ctx) {
  if (!ctx || !ctx->loaded) return 0;
  ctx->pattern.clear();
  ctx->pattern.shrink_to_fit();
  ctx->pattern_length = 0;
  if (ctx->close) ctx->close();
  ctx->library.reset();
  ctx->init = nullptr;
  ctx->scan = nullptr;
  ctx->close = nullptr;
  ctx->loaded = 0;
  return 1;
}
