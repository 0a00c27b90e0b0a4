// Requests of one compose window take turns from reading its attachment list
// to writing it back, so that none of them lists a file another one removed
// meanwhile, or drops a file another one added.
#pragma once

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
  AttachListTurn() = default;
  explicit AttachListTurn(const std::string& list_path);
  ~AttachListTurn();
  AttachListTurn(const AttachListTurn&) = delete;
  AttachListTurn& operator=(const AttachListTurn&) = delete;

  bool held() const { return fd_.ok(); }
  // Hands the turn on now.
  void Release();

 private:
  std::string lock_path_;
  UniqueFd fd_;
};
