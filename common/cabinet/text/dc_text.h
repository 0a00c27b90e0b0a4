// The cabinet's texts that other sources of files use too: cleaned file
// names, times and sizes as the cabinet's pages show them.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// A file name with each of space, ":", "*", "?", "\"", "<" and ">" turned into
// "_", in one pass from left to right. A numeric character reference
// ("&#" and decimal digits, or "&#x" and hexadecimal digits) closed by ";"
// becomes a single "_"; any other ";" becomes "_" with the text before it
// kept. Everything else, "/" and "\" included, stays as it is:
//   "a b:c?.txt" -> "a_b_c_.txt", "x&#1234;y" -> "x_y", "Tom&Jerry;" -> "Tom&Jerry_".
std::string DC_SafeName(std::string_view name);

// Formats of DC_FormatTime.
inline constexpr int kDcTimeSeconds = 1;  // "2007/03/05 08:09:10"
inline constexpr int kDcTimeMinutes = 2;  // "2007/03/05 08:09"

// `when` in the process's local time zone (TZ honoured), as
// "%d/%.2d/%.2d %.2d:%.2d:%.2d" (mode 1) or "%d/%.2d/%.2d %.2d:%.2d" (mode 2):
// year, month, day, hour, minute and second. nullopt for any other mode, or
// a time that has no local date.
std::optional<std::string> DC_FormatTime(std::time_t when, int mode);

// Formats of DC_FormatSize.
inline constexpr int kDcSizeUnits = 1;   // "1023", "1.00 K", "1.50 M"
inline constexpr int kDcSizeDigits = 2;  // "1,234,567"

// A size as text: mode 1 below 1024 "%d", above 1048575 "%.2f M" of MiB,
// otherwise "%.2f K" of KiB; mode 2 the decimal digits with "," between
// groups of three. nullopt for any other mode.
std::optional<std::string> DC_FormatSize(std::int64_t bytes, int mode);
