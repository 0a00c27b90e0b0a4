// The limits every new file of a compose window meets.
#pragma once

#include <cstdint>

namespace intake {

// The number of files a list may hold: the site's limit, at most what the
// list can hold.
int CountLimit();

// The logged-in user's level's size limit of a list, in bytes.
std::int64_t SizeLimit();

}  // namespace intake
