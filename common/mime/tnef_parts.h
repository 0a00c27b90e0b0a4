// Files inside TNEF parts ("application/ms-tnef", class 17) become parts of
// the tree. The decoding walk does this for every TNEF part when option
// 0x200 (kMimeExpandTnef) is set: each file with bytes becomes a part right
// after the TNEF part (before its former next sibling), numbered, named,
// typed and classed like any other file part. The TNEF part itself stays as
// it was.
//
// File names are UTF-8: names from UTF-16 properties are converted by the
// reader, names in the stream's code page with iconv (as "CP<number>", else
// by the code page's charset name); a name that cannot be converted keeps its
// bytes. Every name is then made a safe file name (MLG_SafeFileName: no "/",
// "\", control bytes, never empty, "." or ".."), walked as UTF-8 or, when
// unconverted, byte by byte. The part's charset name is still that of the
// stream's code page, when the host knows it.
#pragma once

#include <cstddef>

#include "common/mime/mime.h"
#include "common/mime/tnef/tnef_reader.h"

// Result codes of the TNEF name and charset functions.
inline constexpr int kTnefBadArgument = -2;  // no out buffer, no size, or a file without bytes
inline constexpr int kTnefUnlistedCodePage = -6;

// Expands the TNEF part `part`: its decoded body is read as a TNEF stream
// and each file becomes a part linked after it. A file part's body is a view
// into the TNEF part's body (valid until MIME_Free; not NUL-terminated), its
// body length the file's byte count; its offset and length are the TNEF
// part's. Answers the last part added, or the TNEF part's next sibling when
// nothing was added (a body that is not a TNEF stream, or holds no file).
// The parse's part limit holds: files beyond it are left in the TNEF part and
// status 0x80 is set.
MIME_Part* MIME_TnefExpand(MIME_Part* part, MIME_Env& env);

// The file's name by the priority of its sources: "Untitled" (0), the title
// (1, also when empty), the file name property (6), the display name (9),
// the long file name (10); a source replaces the name at equal or higher
// priority, in stream order. While the name is still "Untitled", the
// extension property is appended to it (priority 2). Into `out`, cut to
// size - 1 bytes; `utf8` (when given) tells whether the name came from a
// UTF-16 property and is UTF-8, rather than in the stream's code page.
// 0, or kTnefBadArgument.
int TNEF_AttachName(const TnefAttachment& file, char* out, std::size_t size, bool* utf8 = nullptr);

// The charset name of the file's code page ("big5" for 950) into `out`, cut
// to size - 1 bytes. 0; kTnefUnlistedCodePage (out "") for a code page the
// table does not list; kTnefBadArgument without out or size.
int TNEF_AttachCharset(const TnefAttachment& file, char* out, std::size_t size);

// Guesses the content type of a file's bytes under the header's file name
// (CT_Guess), stores a pool copy of it as the header's content type with the
// class it gives (image/tiff 16, image 4, video 13, audio 14,
// application/x-shockwave-flash 15, text/plain and text/enriched 2,
// text/html 3, text/x-vcard 10, anything else 9) and answers it.
const char* MIME_TnefType(MIME_Header* header, const char* data, std::size_t size, MIME_Env& env);
