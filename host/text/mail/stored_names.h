// Texts that name stored files: the quoted-printable form of a name as one
// line, and names made safe for the last segment of a download reference.
#pragma once

#include <string>
#include <string_view>

// The quoted-printable form of `name` on one line (no soft line breaks):
// bytes 33 to 126 other than "=" and ";" as they are; a space or TAB as it is
// unless it ends the name; every other byte (CR, LF, "=", ";", NUL, bytes
// above 126) as "=XX" with upper-case hex digits. "a=b c.png" gives
// "a=3Db c.png".
std::string MTX_QPEncLine(std::string_view name);

// A client file name as the last segment of a download reference: control
// bytes and the characters that end or change a URL path segment ("/", "\",
// "%", "?", "#") become "_", and "." or ".." becomes "_". Everything else
// stays (the caller HTML-escapes the text).
std::string safe_cgistr(std::string_view name);
