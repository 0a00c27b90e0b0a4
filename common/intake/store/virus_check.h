// The virus check of a new file with the site's scan engine, as every source
// of new files makes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace intake {

// Scans a new file's bytes whole when the user's level asks for it
// (privilege 128). 1 infected: `virus` holds the virus name and the virus log
// has a line of kind "ATTACH" (its path column `name`, its file column the
// text after the last "/" of `name`, the user's address as sender and
// recipient). 0 clean, or not scanned by the level's policy. -1 not scanned:
// no data, no engine, or the engine could not check it (logged).
int ScanNewFile(const char* name, const char* data, std::int64_t length,
                std::optional<std::string>& virus);

}  // namespace intake

namespace intake {

// The virus check of a new file as a page tells it: kCodeVirus when the file
// is infected (`virus` holds the virus name), kCodeNotScanned when the scanner
// could not check it and the site's ScanUnavailable refuses such files, else
// kCodeOk.
int ScanRefusal(const char* name, const char* data, std::int64_t length,
                std::optional<std::string>& virus);

}  // namespace intake
