// The text rules of the compose window's list files (the attachment list and
// the background lists): fields separated by ";", where a ";" inside a text
// field may only close a numeric character reference, one record a line.
// Everything a list writer puts into a line goes through these, so a field
// reads back exactly as written and no text can add a field or a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace list_text {

// Which ";" closes a numeric character reference (and so is no separator).
enum class RefRule {
  // The attachment list, split from the line's end: "&#" or "&#x" / "&#X",
  // then one or more hexadecimal digits.
  kAttach,
  // The background lists, split from the line's start: "&#x" / "&#X" and
  // hexadecimal digits, "&#d" / "&#D" and decimal digits, or "&#" and
  // decimal digits.
  kBackground,
};

// When text[0, end) ends with the opening of a reference under `rule` (a ";"
// placed at `end` would close it), the position of its "&"; else -1.
long RefOpeningBefore(const char* text, std::size_t end, RefRule rule);

enum class FieldKind { kText, kPath };

// Copies `text` into `out` (`size` bytes, NUL-terminated) so that the field
// reads back from a list line exactly as copied:
//   - control bytes become "_";
//   - a ";" that does not close a numeric character reference becomes
//     "&#59;" in a text field and "_" in a path;
//   - the field may not end with an unclosed reference opening, which the
//     following separator would close: its "&" becomes "&#38;" in a text
//     field ("_" in a path), or, when that does not fit, it is dropped.
// The cut at size - 1 bytes falls between whole UTF-8 characters and never
// inside an "&#59;". Answers the length.
std::size_t SanitiseField(char* out, std::size_t size, std::string_view text, FieldKind kind,
                          RefRule rule);

// True when `text` written as a field reads back unchanged: no newline or
// NUL, no ";" but one closing a reference, no reference opening at its end.
// (Other control bytes read back; a path keeps them, since it must name its
// file.)
bool FieldReadsBack(std::string_view text, RefRule rule);

// The length of the UTF-8 sequence starting at text[i] when it is complete
// and well formed in its lead and continuation bytes; 1 otherwise.
std::size_t Utf8Length(std::string_view text, std::size_t i);

// Copies a field read from a line into its slot of `size` bytes, cut to
// size - 1 bytes at a character boundary when the cut would fall inside a
// UTF-8 sequence.
void CopyCut(char* out, std::size_t size, std::string_view text);

// Base-10 value of the leading digits (after blanks and a sign), clamped to
// the int32 range; 0 when there are none.
std::int32_t ParseInt32(const char* s);

// Calls on_line with each line of the list file at `path` (a regular file,
// never read through a link), without its newline and a CR before it, as a
// NUL-terminated text of at most 1023 bytes, until it answers false. A line
// longer than that is skipped whole (its tail never becomes a line of its
// own); a NUL byte ends the text of its line. False when the file cannot be
// opened.
bool ReadListLines(const std::string& path, const std::function<bool(char* line)>& on_line);
// The same for the file `name` of the folder open at `dir_fd`.
bool ReadListLinesAt(int dir_fd, const std::string& name,
                     const std::function<bool(char* line)>& on_line);

// Writes `text` to a temporary file beside `path` whose name is unique to the
// process, then renames it over `path`: readers see the old file or the new
// one, two writers never share a temporary file, and a symbolic link at
// `path` is replaced, never written through. 0, or -1 (`path` unchanged).
int ReplaceListFile(const std::string& path, std::string_view text);

}  // namespace list_text
