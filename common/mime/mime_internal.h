// Pieces of the MIME parse and walk shared by their source files and tests.
#pragma once

#include <cstddef>

#include "common/mime/mime.h"

// Where a part being parsed may lie. A sub-part of a multipart ends at the
// next boundary line of that multipart: it is found before the sub-part is
// parsed, and nothing inside the sub-part looks past it. So a broken inner
// structure (a missing closing boundary, a header without blank line) can
// never swallow the parts that follow, and each boundary line is searched for
// once.
struct MimeScope {
  const char* boundary = nullptr;  // the enclosing multipart's boundary, null at the top
  char* line = nullptr;            // the "--" of its next boundary line after the part's start
  char* line_end = nullptr;        // the part end before that line (its line break, or the CR)
  char* stop = nullptr;            // searches look at line breaks before this
  char* end = nullptr;             // the end a part takes when nothing nearer ends it
  int level = 0;                   // tree level of the part (see kMimeMaxNesting)
};

// A boundary line: `line` is its "--", `end` the part end before it.
struct MimeBoundaryHit {
  char* end = nullptr;
  char* line = nullptr;
};

// The first boundary line at or after `from` whose "--" lies before `stop`:
// either `from` itself starts with "--" and the boundary (then the part end is
// the byte before it), or a newline is followed by "--", the boundary and LF,
// CR or "-" (the part end is that newline, or the CR before it). `floor` is the
// lowest position an answer may take (the message start).
MimeBoundaryHit MIME_FindBoundary(char* from, char* stop, char* text_end, char* floor,
                                  const char* boundary, std::size_t length);

// The end of a part from its body: the next line of the scope's boundary. No
// boundary answers null and leaves the end alone; no line sets the end to the
// scope's end and answers null; a line before the body moves the body back to
// it (an empty body).
char* MIME_PartEnd(MIME_Env& env, MIME_Part* node, const MimeScope& scope);

void MIME_ParseAll(MIME_Env& env, MIME_Part* root);
// Parses the part whose text starts at node->body; answers the position after
// it, or null.
char* MIME_ParsePart(MIME_Env& env, MIME_Part* node, bool as_message, const char* default_type,
                     int depth, const MimeScope& scope);
void MIME_HeaderParse(MIME_Env& env, MIME_Part* node, bool as_message, const char* default_type);
// Splits the header text [start, end) into the header's fields.
void MIME_HeaderSplit(MIME_Env& env, MIME_Header* header, char* start, char* end);
// Points the header's content fields ("Content-Type", ...) at their values,
// the later field of a name winning.
void MIME_ContentFields(MIME_Env& env, MIME_Header* header);

// The content class of a content type; `later` is set after the first header
// of a parse (unknown types are then class 9 instead of 2).
int MIME_ClassOf(const char* content_type, bool later);
int MIME_EncodingOf(const char* transfer_encoding);

// A zeroed node from the pool, or null at kMimeMaxParts (status 0x80 set).
MIME_Part* MIME_NewPart(MIME_Env& env);
// A zeroed header from the pool.
MIME_Header* MIME_NewHeader(MIME_Env& env);

// ASCII case-insensitive prefix test of a NUL-terminated text; false for null.
bool MIME_Begins(const char* text, const char* prefix);

// The charset code of a name (table of the walk); `fallback` for names the
// table does not list.
int MIME_CharsetCode(const char* name, int fallback);
// The code of a host charset value (MLC_CharsetWEncToValue).
int MIME_CodeOfValue(int value);
// The NameScheme for names of a charset code.
int MIME_SchemeOfCode(int code);
// The environment's default code: 1 for a parse started for iso-2022-jp.
int MIME_DefaultCode(const MIME_Env& env);

// Decodes the header's field values in place (encoded words); answers 1 when
// their charsets differ from the part's.
int MIME_HeaderDecode(MIME_Header* header, MIME_Env& env);
// Resets the charset of an iso-8859 part whose body holds only ASCII and
// double-byte pairs.
void MIME_CharsetCheck(MIME_Part* part, MIME_Env& env);
// Refines the class of an application/octet-stream part from its bytes.
void MIME_Retype(MIME_Header* header, const char* body, std::size_t length);

// Adds a name to the parse's list of names handed out.
void MIME_AddName(MIME_Env& env, const char* name);
// Converts a name in the pool to Shift_JIS for codes 1 and 4 (when the
// Japanese conversion is on); answers the converted text.
char* MIME_NameToSjis(MIME_Env& env, char* name, int code);
// A pool copy of `text` made safe as a file name (unquoted first).
char* MIME_SafeName(MIME_Env& env, char* text, int scheme);
