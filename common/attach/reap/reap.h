// Clearing the root's tmp folder of the compose windows nobody touched for a
// while (attachtool reap). A window is its user and compose identifier in
// the names the programs make (window_names.h): its lists, its lock, its
// stored copies, fetched files and uploads. A calendar export counts as a
// window of its own.
//
// A window goes whole or not at all: only when none of its files was
// modified within the period, together with the windows its attachment
// list names files of (and that share a stored background with it), while
// holding its list's turn (list_turn.h) without waiting for it, and after
// looking again that nothing changed meanwhile. With it go the files of the
// hashed store that its background lists name, when they are the user's
// backgrounds where the store keeps them. Nothing else is removed: every
// name is taken relative to the tmp folder (or the store's folder), never
// through a symbolic link; names the programs do not make, and links or
// other non-regular files, are left and told.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace reap {

struct Options {
  std::int64_t older_than_seconds = 24 * 3600;
  bool dry_run = false;  // remove nothing, take no turn, tell what would go
};

struct ReapedWindow {
  std::string_view user;
  std::string_view window;  // the compose identifier; a calendar export's fname
  bool calendar_export = false;
  std::int64_t files = 0;  // in tmp/ and in the hashed store
  std::int64_t bytes = 0;
};

struct Totals {
  std::int64_t windows = 0;
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::int64_t failures = 0;  // files that could not be removed
};

// What a reap meets, told as it goes (windows in the order of their user
// and identifier). Each may be left empty.
struct Events {
  // A window removed (in a dry run: that would be).
  std::function<void(const ReapedWindow&)> reaped;
  // An old window kept: its turn is held, or it changed while it was looked at.
  std::function<void(std::string_view user, std::string_view window)> busy;
  // A name in tmp/ that is not the programs', or not a regular file.
  std::function<void(std::string_view name)> left;
  // A file that could not be removed (its path below the root), and errno.
  std::function<void(std::string_view path, int error)> failed;
};

// Reaps the root's tmp folder. False, with errno set, when it cannot be
// opened or read; nothing is removed then.
bool ReapTmp(const Options& options, const Events& events, Totals& totals);

}  // namespace reap
