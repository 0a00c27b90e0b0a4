// ASCII character tests and conversions that ignore the locale. Bytes above
// 0x7F are never letters, digits or blanks here.
#pragma once

namespace ascii {

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
constexpr bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool IsAlnum(char c) {
  return IsAlpha(c) || IsDigit(c);
}
constexpr bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// Space or tab.
constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
// Space, tab, CR or LF.
constexpr bool IsSpace(char c) {
  return IsBlank(c) || c == '\r' || c == '\n';
}
// A byte below 0x20, or DEL.
constexpr bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}
constexpr char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}
constexpr char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
// The value of a hexadecimal digit, -1 for any other byte.
constexpr int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace ascii
