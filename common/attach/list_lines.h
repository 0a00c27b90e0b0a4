// The line reader of the list files in the tmp folder (attachment lists,
// upload lists).
#pragma once

#include <functional>
#include <string>

// Reads the file at `path` (a regular file, never through a symbolic link)
// line by line. `take` gets each line NUL-terminated, without its newline and
// without a CR before it; a NUL byte ends a line's text. A line holds at most
// 1023 bytes: a longer one is skipped whole, so no piece of it is ever taken
// as a line of its own. A last line without a newline counts. `take` answers
// false to stop. False when the file cannot be opened.
bool ReadListLines(const std::string& path, const std::function<bool(char* line)>& take);
