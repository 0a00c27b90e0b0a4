// Stored copies of new files in the tmp folder, named after the user, the
// compose window and the process.
#pragma once

#include <cstdint>
#include <string>

namespace intake {

// The stored name of a compose window's new file in the tmp folder:
// "<user>_<cpid>_A_<pid>_<number>" for a copy (kind 'A'), and
// "<user>_<cpid>_H_<pid>" for a fetched URL (kind 'H', no number).
std::string StoredName(const std::string& cpid, char kind, int pid, int number = 0);

// A stored path fits a record's path field and reads back from the list as
// written (no ";"); logs the refusal for `function` otherwise.
bool PathFitsRecord(const std::string& path, const char* function);

// The first of `path`, `path`.1, `path`.2, ... at which nothing stands, or ""
// when there is none (the reason is logged for `function`), for a file that
// another function creates exclusively.
std::string FreeStoredName(const std::string& path, const char* function);

// Writes `length` bytes to a new stored file at `path` (mode 0600, never
// through a link, never over an existing file: when the name is taken, "."
// and a number are added and `path` is changed to the name used). An upload
// that was spooled while the request was read becomes the file itself. 0, or
// -1 with the reason in the error log and no file left.
int StoreCopy(std::string& path, const char* data, std::int64_t length);

}  // namespace intake
