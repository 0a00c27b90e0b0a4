// The line reader of the list files in the tmp folder (attachment lists,
// upload lists).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Reads the file at `path` (a regular file, never through a symbolic link)
// line by line. `take` gets each line NUL-terminated, without its newline and
// without a CR before it; a NUL byte ends a line's text. A line holds at most
// 1023 bytes: a longer one is skipped whole, so no piece of it is ever taken
// as a line of its own. A last line without a newline counts. `take` answers
// false to stop. False when the file cannot be opened.
bool ReadListLines(const std::string& path, const std::function<bool(char* line)>& take);

// The base-10 number at the start of a list field (after blanks and a sign),
// clamped to the int32 range; false when it has no digits (`out` unchanged).
bool ParseListInt32(const char* text, std::int32_t& out);

// True when `path` names a file below the root's tmp folder: it begins with
// "<root>/tmp/", names something after that, has no ".." component and no
// control byte. Paths taken from list files are used only when this holds.
bool PathBelowTmp(std::string_view path);
