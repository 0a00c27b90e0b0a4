// Site settings from <root>/etc/site.conf ("Key = Value" lines, "#" comments).
#pragma once

#include <cstdint>

#include <string>

struct LevelSettings {
  int flags = 0;                      // Level<N>.Flags; 2 grants the document cabinet
  std::uint32_t privileges = 0;       // Level<N>.Privileges; 128 = scan new files
  std::int64_t attach_size_kb = 10240;
  std::int64_t cabinet_quota_kb = 102400;
};

inline constexpr int kLevelCount = 16;
inline constexpr int kLevelFlagCabinet = 2;
inline constexpr std::uint32_t kPrivVirusScan = 128;

struct SiteSettings {
  bool multi_domain = false;
  std::string default_domain = "localhost";
  int attach_count_limit = 20;
  LevelSettings levels[kLevelCount];
  std::int64_t request_max_kb = 102400;
  int fetch_timeout_seconds = 30;
  std::int64_t fetch_max_kb = 102400;
  bool fetch_allow_private = false;
  // ScanUnavailable: what becomes of a file the virus scanner could not check
  // (no engine, an engine error, a daemon unreachable or busy beyond its
  // timeout, a file over its size limit). "refuse" (any case): it is not
  // attached. "admit", and any other value or none: it is attached as before.
  bool scan_unavailable_refuse = false;
};

// The settings, read at first use. A missing file gives the defaults.
const SiteSettings& GINI();

// The settings of a level; an out-of-range level answers level 0's.
const LevelSettings& GINI_Level(int level);

int isMultiDomain();

// Non-zero when the level holds every bit of `bit`.
int level_priv_check(int level, std::uint32_t bit);

// The level's attachment size limit in KiB.
std::int64_t level_priv_attachsize(int level);
