// Paths of files in the root's tmp folder, as list files name them.
#pragma once

#include <string_view>

// True when `path` names a file below the root's tmp folder: it begins with
// "<root>/tmp/", names something after that, has no ".." component and no
// control byte. Paths taken from list files are used (read, copied, deleted)
// only when this holds.
bool PathBelowTmp(std::string_view path);
