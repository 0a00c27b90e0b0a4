// What the root's tmp folder holds, by compose window: every file whose name
// the programs make (window_names.h) belongs to the window of its user and
// identifier; each calendar export stands alone. Names the programs do not
// make, and anything but a regular file, are left.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/attach/window_names.h"

namespace reap {

struct TmpFile {
  std::string name;
  window_names::FileKind kind;
  window_names::Form form;
  std::int64_t size = 0;
  timespec mtime{};
};

struct TmpWindow {
  std::string user;
  std::string id;  // the compose identifier; a calendar export's fname
  bool calendar_export = false;
  std::vector<TmpFile> files;
  timespec newest{};  // the newest modification time of its files
  // Stored names in the hashed store that its background lists name and
  // that are this user's backgrounds (BG_IsStoredNameOf).
  std::vector<std::string> store_names;
};

struct TmpScan {
  std::vector<TmpWindow> windows;  // sorted by user, then identifier
  std::vector<std::string> left;   // sorted
  // Windows that go or stay together: group[i] is the same for windows
  // whose attachment lists name one another's files in tmp/, or whose
  // background lists name the same stored file.
  std::vector<std::size_t> group;
};

// Reads the folder open at `tmp_fd` (never following a link in it) and
// the lists of the windows found. False, with errno, when the folder cannot
// be read.
bool ScanTmp(int tmp_fd, TmpScan& scan);

// The list file of `kind` of a window, by its name in tmp/.
std::string WindowListName(const TmpWindow& window, window_names::FileKind kind);

bool Newer(const timespec& a, const timespec& b);

}  // namespace reap
