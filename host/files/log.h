// Appending to log files. Each call is one write() to a file opened with
// O_APPEND, so lines of concurrent processes never interleave.
#pragma once

#include <string>
#include <string_view>

// Appends "YYYY/MM/DD HH:MM:SS [pid] <message>\n" (local time).
void LOG_FileLine(const std::string& path, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Appends the formatted text exactly as given.
void LOG_FileStr2(const std::string& path, int flags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends `text` exactly as given.
void LOG_FileStr(const std::string& path, std::string_view text);

// <root>/log/error.log, the general log.
std::string ErrorLogPath();
