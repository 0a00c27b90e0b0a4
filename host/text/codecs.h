// Transfer-encoding codecs of mail bodies. The decoders work in place on a
// whole buffer (a decoded body is never longer than its encoded form) and
// answer the decoded length; bytes that do not belong to the encoding are
// skipped, never a failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Base64 (RFC 4648 alphabet): characters outside the alphabet (CR, LF,
// spaces, garbage, NUL) are skipped, decoding stops at the first "=" pad. A
// final quantum of 2 or 3 characters gives 1 or 2 bytes; a single leftover
// character is dropped.
std::size_t MTX_Base64Dec(char* data, std::size_t length);

// Quoted-printable (RFC 2045): "=XX" (either case) decodes to a byte; "="
// followed by optional spaces/TABs and then CRLF, LF or the end of the buffer
// is a soft line break (removed); a malformed "=" stays as written; spaces and
// TABs before a line end (or the buffer end) are dropped, encoded ones
// ("=20") stay. Line ends stay as written (CRLF or LF).
std::size_t MTX_QPDec(char* data, std::size_t length);

// Quoted-printable encoding with lines of at most 76 characters: CRLF and LF
// stay hard line breaks as written, soft breaks are "=" CRLF; "=", controls
// other than TAB (a CR not before LF too), bytes above 126 and a space or TAB
// before a line break or the end are written "=XX".
std::string MTX_QPEnc(std::string_view data);

// uuencoded lines (without the "begin" line), up to an "end" line, a
// zero-length line ("`" or " ") or the end of the buffer. Lines may end in
// CRLF; empty lines are skipped; characters missing from a short line count
// as zero (as when a transport stripped trailing spaces), but a line never
// gives more bytes than it occupies.
std::size_t MTX_UUDec(char* data, std::size_t length);

// A uuencoded body that may begin with its "begin <mode> <name>" line (at a
// line start, octal mode; text before it is skipped): the name (the rest of
// the line without CR, cut to name_size - 1) is copied into `name`
// (NUL-terminated, "" when there is no begin line) and the lines after it are
// decoded as MTX_UUDec does, to the start of `data`. Without a begin line the
// whole buffer is decoded.
std::size_t MTX_UUDec2(char* data, std::size_t length, char* name, std::size_t name_size);
