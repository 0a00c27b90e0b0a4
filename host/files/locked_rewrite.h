// Read-modify-write of a file shared between requests.
//
// The writer takes an exclusive flock on the file, reads it, lets the caller
// change the text, writes the new text to a temporary file in the same folder
// and renames it over the file while still holding the lock. Readers never
// need a lock (they see the old or the new file, never a part), and two
// writers of one file take turns, so no change is lost. A writer that waited
// for the lock on a file that has meanwhile been replaced opens the new one
// and waits again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

enum class RewriteStatus {
  kDone,        // written, or nothing to write
  kOpenFailed,  // the file could not be opened, locked or read
  kTempFailed,  // no temporary file could be created
  kWriteFailed  // writing or renaming the temporary file failed
};

struct RewriteResult {
  RewriteStatus status = RewriteStatus::kDone;
  std::string path;  // the file that failed (the temporary file for kTempFailed)
  bool ok() const { return status == RewriteStatus::kDone; }
};

struct RewriteOptions {
  // The temporary file's name for a given attempt (0, 1, ...): a name unique to
  // the process and moment; later attempts are made when the name is taken.
  std::function<std::string(int attempt)> temp_name;
  mode_t mode = 0600;
  // True: a missing file is created (empty) and `change` runs once, under the
  // lock. False: for a missing file `change` first runs on the empty text
  // without a lock, and only when it asks for a write is the file created and
  // `change` run again under the lock.
  bool create = true;
  // A larger file is not read (kOpenFailed).
  std::size_t max_size = std::size_t{64} << 20;
};

// `change` edits the text and answers true when the new text is to be
// written. It may run more than once (see `create`) and must compute from the
// text it is given.
RewriteResult LockedRewrite(const std::string& path, const RewriteOptions& options,
                            const std::function<bool(std::string& text)>& change);

// A temporary name "<folder>/<prefix><seconds><pid>" with "_<attempt>" added
// for attempts after the first.
std::string StampedTempName(const std::string& folder, const char* prefix, int attempt);
