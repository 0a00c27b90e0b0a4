// Appending to log files. Each call is one write() to a file opened with
// O_APPEND, so lines of concurrent processes never interleave.
//
// No value can start a new line in a log, nor a new column in a log of
// TAB-separated columns: every writer that puts values into a line passes
// them through LOG_Clean, the one rule for all logs.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

// `text` with every control byte (below 0x20, and DEL) turned into "_".
std::string LOG_Clean(std::string_view text);

// Appends "YYYY/MM/DD HH:MM:SS [pid] <message>\n" (local time). The formatted
// message is cleaned with LOG_Clean: one call writes exactly one line.
void LOG_FileLine(const std::string& path, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

namespace host_log {

void FileStr2(const std::string& path, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A text argument cleaned (a null text reads "(null)"); anything else as it is.
template <typename T>
auto Cleaned(const T& value) {
  if constexpr (std::is_pointer_v<T> || std::is_array_v<T>) {
    if constexpr (std::is_convertible_v<const T&, const char*>) {
      const char* text = value;
      return LOG_Clean(text ? std::string_view(text) : std::string_view("(null)"));
    } else {
      return value;
    }
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return LOG_Clean(value);
  } else {
    return value;
  }
}

template <typename T>
auto Passed(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value.c_str();
  } else {
    return value;
  }
}

}  // namespace host_log

// Appends the formatted text. The format lays the line out (its TABs and
// newline stay as written); each text argument (a C string, std::string or
// std::string_view, printed with "%s") is cleaned with LOG_Clean first, so a
// value never adds a line or a column. Numbers go in as they are.
template <typename... Args>
void LOG_FileStr2(const std::string& path, int /*flags*/, const char* format, const Args&... args) {
  if constexpr (sizeof...(args) == 0) {
    host_log::FileStr2(path, "%s", format);
  } else {
    host_log::FileStr2(path, format, host_log::Passed(host_log::Cleaned(args))...);
  }
}

// Appends `text` exactly as given: for text that holds no values (the two
// writers above end here).
void LOG_FileStr(const std::string& path, std::string_view text);

// <root>/log/error.log, the general log.
std::string ErrorLogPath();
