#include "host/text/mail/stored_names.h"

#include "host/base/ascii.h"

std::string MTX_QPEncLine(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool last = i + 1 == name.size();
    bool plain =
        (c >= 33 && c <= 126 && c != '=' && c != ';') || ((c == ' ' || c == '\t') && !last);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    }
  }
  return out;
}

std::string safe_cgistr(std::string_view name) {
  if (name == "." || name == "..") return "_";
  std::string out(name);
  for (char& c : out) {
    if (ascii::IsControl(c) || c == '/' || c == '\\' || c == '%' || c == '?' || c == '#') c = '_';
  }
  return out;
}
