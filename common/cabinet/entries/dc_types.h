// File types of the cabinet: <root>/etc/dc_type.conf, up to 28 lines of three
// TAB-separated fields, "patterns<TAB>name<TAB>number". The n-th line that is
// not blank (from 0) is type n + 2 (types 0 and 1 are the two kinds of
// folder). Patterns are separated by ",", blanks around them trimmed; one
// holding "/" is a content-type prefix, any other a shell pattern on the file
// name:
//   text/,*.txt      Text       1
//   image/           Picture    2
//   *                File       9
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct DC_Type {
  std::vector<std::string> patterns;  // at most 30
  std::string name;
  int number = 0;
};

inline constexpr int kDcFirstFileType = 2;
inline constexpr int kDcMaxTypes = 28;

// Parses a type table: 0; -1 when it holds no type; -3 when a line ends
// before its name or number (the whole table is invalid).
int DC_TypeParse(std::string_view text, std::vector<DC_Type>& types);

// Loads the table once per process: 0; -2 when one is loaded already or the
// path is empty; -1 when the file cannot be read or holds no type; -3 when a
// line is cut short.
int DC_TypeLoad(const std::string& path);
// Forgets the loaded table.
void DC_TypeRelease();
// The loaded table (empty before a load).
const std::vector<DC_Type>& DC_Types();

// The type of a file (2 to 29): the content type of its name's extension, or
// of its bytes when the name's is unknown and bytes are given; the first
// pattern of the first type that matches decides. -1 when none matches or no
// table is loaded.
int DC_TypeOf(const std::string& file_name, const char* data = nullptr, std::size_t length = 0);

// <root>/etc/dc_type.conf.
std::string DC_TypeConfPath();
