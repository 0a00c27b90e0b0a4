// Reading mds.conf.
//
// Lines count only when a newline ends them (a last line without one is
// ignored); a line starting with "#" is a comment; a key must start its line.
// Keys ignore case and include their separator; the value runs to the last
// character that is not a newline, carriage return or space. Keys, first match
// deciding: "preloadlib: " (the list as written), "preloadlib = " (the list
// normalised), "owfunc = " (LIBRARIES:OPERATIONS, both normalised; one entry
// per line), "logfile: ", "logfile = ", "defaultgroup = ", "langopt = ",
// "breakingrule = ", "updateonue = ", "createonucf = ", "deleteonudf = ",
// "callmdsadd = " (option bits 1, 2, 4, 8, 16; non-zero sets, zero clears),
// "backendconf = " (the loaded back end's own configuration file; a relative
// path lies below the root). A later line overwrites an earlier one.
//
// Lists are colon-terminated ("a.so:b.so:"); normalising turns "," into ":"
// and adds a last ":" when missing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/directory/base/mds_abi.h"

inline constexpr std::size_t kMdsPreloadMax = 511;
inline constexpr std::size_t kMdsLibraryListMax = 511;
inline constexpr std::size_t kMdsOperationListMax = 173;
inline constexpr std::size_t kMdsOverrideMax = 31;

struct MdsOverride {
  std::string libraries;   // normalised; empty ends the table
  std::string operations;  // normalised
};

struct MdsConf {
  std::string preload;
  std::vector<MdsOverride> overrides;  // in file order
  std::string backend_conf;            // absolute; empty when not given
  // The key of the first value too long for its field ("" when none): a
  // value cut to fit would name another file, group or library.
  std::string too_long;
};

std::string MdsNormaliseList(std::string_view list);

// Parses configuration text into the context's settings and `conf`.
void MDS_ReadConf(MDS_Context* ctx, std::string_view text, MdsConf& conf);
