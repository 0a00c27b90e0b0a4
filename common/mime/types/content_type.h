// Content types of files: from the name's extension through the site's type
// list (<root>/httpd/conf/mime.types), else from the first bytes through the
// site's magic rules (<root>/httpd/conf/magic, read with libmagic), else by a
// plain-text test; "application/octet-stream" when nothing decides.
//
// Both tables are loaded at first use and kept for the process. Answers that
// are `const char*` point into a process-wide result buffer or the type table:
// copy them before the next guess.
#pragma once

#include <cstddef>
#include <string>

// The content type of a file; never null.
const char* CT_Guess(const char* data, std::size_t length, const char* name);

// The type listed for the name's extension (the text after its last "."; a
// name without "." is its own extension), ignoring case; null when unlisted.
const char* CT_FromName(const char* name);

// Loads the type list; 0, or -1 when it cannot be read (the next lookup tries
// again).
int CT_LoadTypes();

// The magic rules' description when one matches, else "text/plain" when the
// bytes are text, else "application/octet-stream".
const char* CT_FromData(const char* data, std::size_t length);

// 1 (and "text/plain" in the result buffer) when the bytes are text: every
// byte but the last is a text byte and no line is longer than 300 bytes.
int CT_IsText(const char* data, std::size_t length);

// The extension for a file: the name's own (at most 30 characters), else the
// first extension the type list gives for the content type, else "".
std::string CT_TypeToExt(const char* content_type, const char* name);

// Compiles the magic rules <root>/httpd/conf/magic into
// <root>/httpd/conf/magic.mgc (written beside them through a temporary
// folder, then renamed; readable by whoever may read the rules). Guesses use
// the compiled rules while they are not older than the text. 0, or -1 with
// the reason on standard error (the previous magic.mgc stays).
int CT_CompileMagic();
