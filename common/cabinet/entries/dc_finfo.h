// Descriptions of a folder's entries: ".finfo" in the folder, one text line
// "<name><TAB><value>" per entry. The value is the description shown in
// listings, optionally followed by a TAB and an extra field "key:value".
// Values are cut at 63 bytes, names at 255. A line without a TAB is not a
// description (it is dropped when the file is rewritten).
//
// Readers hold a shared lock, writers an exclusive one while they rewrite the
// file in place. A line is read whole however long it is, so the tail of a
// long line never reads as a line of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kDcDescMax = 63;

// The values of the given names (nullopt for a name without a line), from
// the first line of each name; all nullopt when there is no ".finfo".
std::vector<std::optional<std::string>> DC_DescRead(const std::string& finfo_path,
                                                    const std::vector<std::string>& names);

// Sets a name's whole value (its line goes to the end of the file). 0; -1 when
// the file cannot be written or the name holds a TAB, CR or LF. CR and LF in
// the value become spaces.
int DC_DescSet(const std::string& finfo_path, std::string_view name, std::string_view value);
// Removes a name's line: 0; 1 when there is no ".finfo"; -1 on failure.
int DC_DescRemove(const std::string& finfo_path, std::string_view name);

// The shown part of a value (before its TAB) and the extra field's value
// (after the first ":" of the text after the TAB).
std::string_view DC_DescShown(std::string_view value);
std::optional<std::string> DC_DescExtra(std::string_view value);

// Change one part, keeping the other.
int DC_DescSetShown(const std::string& finfo_path, std::string_view name, std::string_view shown);
int DC_DescSetExtra(const std::string& finfo_path, std::string_view name, std::string_view key,
                    std::string_view value);
