// The limits every new file of a compose window meets.
#pragma once

#include <cstdint>

namespace intake {

// The number of files a list may hold: the site's limit, at most what the
// list can hold.
int CountLimit();

// The logged-in user's level's size limit of a list, in bytes.
std::int64_t SizeLimit();

// The page code of a new file of `length` bytes that would join a list of
// `listed` entries whose sizes make `total`: kCodeCountLimit when the list
// would pass the count limit, kCodeSizeLimit when the total would pass the
// size limit (equality passes) or the file is larger than a record's 32-bit
// size; else kCodeOk.
int LimitRefusal(int listed, std::int64_t total, std::int64_t length);

}  // namespace intake
