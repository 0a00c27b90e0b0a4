// Scan-engine configuration and loading.
//
// <root>/etc/avscan.conf names an engine library, which is loaded with dlopen
// only when a context is opened, bound by its entry points (engine_abi.h) and
// initialised. One context serves one scan request:
//
//   AVS_Context ctx;
//   if (AVS_Open(ctx, nullptr)) {
//     int result = VIR_Scan(ctx, AVS_ACTION_NONE, data, length, nullptr, nullptr, nullptr);
//     ...
//     AVS_Close(&ctx);
//   }
//
// Configuration: lines "Key = Value"; "#" in the first column starts a
// comment; keys are case-sensitive: Vendor, EngineLib (or Engine),
// EngineConfig, Server, PatternFile (or Pattern), ScanMode (ENTIRE or MIME),
// SecondaryScan (off or 0 switch it off), ActionMode (NONE, REPAIR, DELETE),
// DeleteHeader (a number), ReplaceMsg (the notice that replaces a removed
// part; lines right after it that begin with "\" continue it). Values longer
// than their field are cut to it.
#pragma once

#include <memory>
#include <string>

#include "common/virus/engine_abi.h"

// ScanMode values.
inline constexpr int AVS_SCAN_ENTIRE = 1;  // the whole message in one engine call
inline constexpr int AVS_SCAN_MIME = 2;    // part by part

inline constexpr char kAvsDefaultReplaceMsg[] =
    "File $filename is removed automatically by system policy.\n";

struct AVS_LibraryCloser {
  void operator()(void* handle) const;
};

struct AVS_Context {
  char Vendor[256] = {};        // "ostrel" (any case) selects the Ostrel_* entry points
  char EngineLib[256] = {};     // path of the engine library
  char EngineConfig[256] = {};  // after loading: the text the init entry was given
  char Server[256] = {};
  char PatternFile[256] = {};
  char ReplaceMsg[4096] = {};  // "$filename" and "$ctype" stand for the removed part's
  std::string pattern;         // the pattern file's bytes, empty without one
  int pattern_length = 0;
  int loaded = 0;  // 1 once the engine is initialised; every scan requires it
  int ScanMode = 0;
  int SecondaryScan = 0;  // 1: a -2 answer in one mode retries in the other
  int ActionMode = 0;     // kept for callers, which pass an action to each scan
  int DeleteHeader = 0;   // 0: a removed part keeps its MIME header
  char report[512] = {};  // lines "file\tvirus\tcode\n" of the last infected scan
  int report_size = 0;    // handed to the engine: 512, or 0 for the "ostrel" engine
  std::unique_ptr<void, AVS_LibraryCloser> library;
  TAV_InitFn init = nullptr;
  TAV_ScanFn scan = nullptr;
  TAV_CloseFn close = nullptr;  // may be absent
};

// Clears the context, reads the configuration (the file when `config_text` is
// null, else the text), loads and initialises the engine and reads the
// pattern file. 1 when the engine is ready, 0 otherwise (nothing stays held).
// Missing library or entry points are reported on standard error.
int AVS_Open(AVS_Context& ctx, const char* config_text);

// Reads the configuration again on an opened context and initialises the
// already bound engine again. 1 when ready; on failure the engine is released
// and the context is closed.
int AVS_Reload(AVS_Context& ctx, const char* config_text);

// Releases the pattern data, calls the engine's close entry and unloads the
// library. 0 when `ctx` is null or not loaded, else 1.
int AVS_Close(AVS_Context* ctx);

// Fills the settings from configuration text; always 0. ScanMode,
// SecondaryScan, ActionMode, DeleteHeader and ReplaceMsg start from their
// defaults; the other text fields keep what they held.
int AVS_ConfigParse(AVS_Context& ctx, const char* text);

// Loading as AVS_Open does, without clearing the context first; the library
// is opened and bound only when `load_library` is non-zero.
int AVS_Load(AVS_Context& ctx, const char* config_text, int load_library);

// 1 when the context's vendor is the "ostrel" add-on engine.
bool AVS_IsOstrel(const AVS_Context& ctx);
