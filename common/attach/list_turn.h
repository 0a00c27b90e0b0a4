// Requests of one compose window take turns from reading its attachment list
// to writing it back, so that none of them lists a file another one removed
// meanwhile, or drops a file another one added.
#pragma once

#include <fcntl.h>

#include <string>

#include "host/base/unique_fd.h"

// An exclusive flock on "<list>.lock", held while the object lives. The
// holder deletes the lock file when it is done: a waiter that then gets the
// lock on the deleted file sees that the path no longer names it and tries
// again with the file now there, so no lock file stays behind a request.
// Without a lock (the file cannot be made) the request goes on alone, as it
// would have without locking; the reason is logged.
class AttachListTurn {
 public:
  enum class Wait { kYes, kNo };

  AttachListTurn() = default;
  explicit AttachListTurn(const std::string& list_path);
  // The turn of the list `list_name` in the folder open at `dir_fd` (which
  // must stay open while the turn lives); with Wait::kNo it is not waited
  // for: busy() tells that another process holds it.
  AttachListTurn(int dir_fd, const std::string& list_name, Wait wait);
  ~AttachListTurn();
  AttachListTurn(const AttachListTurn&) = delete;
  AttachListTurn& operator=(const AttachListTurn&) = delete;

  bool held() const { return fd_.ok(); }
  bool busy() const { return busy_; }
  // Hands the turn on now.
  void Release();

 private:
  int dir_fd_ = AT_FDCWD;
  std::string lock_path_;  // relative to dir_fd_
  UniqueFd fd_;
  bool busy_ = false;
};

// True when another process holds the turn of the list `list_name` in the
// folder open at `dir_fd` at this moment. Makes, changes and deletes nothing.
bool AttachListTurnHeld(int dir_fd, const std::string& list_name);
