// Page templates: text with "$name" variables, blocks, message selectors,
// callbacks and loops, rendered to standard output.
//
//   $name                      a variable; the longest bound or declared name
//                              that the text there begins with wins
//   <!--$name--> ... <!--/$name-->      a block, hidden when $name is 2
//   <!--$name=N--> ... <!--/$name-->    one message of selector $name, shown
//                                       when its value is N
//   <!--loop $name--> ... <!--/loop $name-->   a loop driven by the caller
//
// Values are printed as bound: callers escape.
//
// Markers are exact, with nothing else between "<!--" and "-->" (a "loop"
// marker has one or more spaces or tabs between "loop" and the name), and a
// marker name is "$" followed by letters, digits and "_". Any other comment is plain text, in
// which variables are still replaced.
//
// A template is parsed once when loaded. Loading fails (non-zero, the reason in
// OML_LoadError()) when a block, message or loop has no end marker, when an end
// marker does not close the innermost open marker (a stray or crossed end
// marker), or when markers nest deeper than OML_MAX_DEPTH.
//
// A variable that was never declared nor bound has the value 0: its blocks
// show and its message 0 shows. A text variable used as a block switch or
// selector has the decimal value of its text (0 when it is not a number); a
// callback has 0.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

enum OML_Kind {
  OML_TEXT = 1,
  OML_INT = 2,
  OML_BLOCK = 8,    // 1 shows, 2 hides
  OML_SELECT = 16,  // shows the message whose number it holds
  OML_CALLBACK = 32,
};

struct OML_Decl {
  const char* name;  // with its "$"
  int kind;
  const char* def;  // default: a text, or a decimal number for the integer kinds
};

using OML_Callback = void (*)(void* argument);

class OML_Template;
// Destroys a template where it is defined, so that callers holding an
// OML_Handle do not need the complete type.
template <>
struct std::default_delete<OML_Template> {
  void operator()(OML_Template* t) const;
};
using OML_Handle = std::unique_ptr<OML_Template>;

// Deepest nesting of blocks, messages and loops a template may have.
inline constexpr int OML_MAX_DEPTH = 64;
// Largest template file OML_Init and OML_Open read.
inline constexpr std::size_t OML_MAX_FILE = 16u << 20;

// Loads a template with its declarations. 0 on success; non-zero when the
// file cannot be read or is malformed.
int OML_Init(const std::string& path, int flags, OML_Handle& handle,
             std::span<const OML_Decl> decls);
// Loads a template without declarations.
int OML_Open(const std::string& path, int flags, OML_Handle& handle);
// Loads a template from text (tests, fuzzing).
int OML_InitText(std::string text, OML_Handle& handle, std::span<const OML_Decl> decls);
// Why the last failed load of this process failed: the path and errno text,
// or the line and the fault of a malformed template. "" after a good load.
const std::string& OML_LoadError();

// Binds the suite-wide variables: "$cgibin", "$userid", "$charset",
// "$language", "$m", "$server", "$scheme" from the session and the user's
// preferences, each text HTML-escaped.
void form_setdefault(OML_Handle& handle);

// Bind a variable. StrSet and StrDup both keep a copy of the text. A name that
// was not declared is added with the kind of the call (text, integer,
// callback); IntSet on a block switch or selector sets its value and keeps its
// kind. 0 on success; -1 without a template or when the name is not "$" and at
// least one more byte.
int OML_StrSet(OML_Handle& handle, std::string_view name, const char* value);
int OML_StrDup(OML_Handle& handle, std::string_view name, std::string_view value);
int OML_IntSet(OML_Handle& handle, std::string_view name, int value);
int OML_FPSet(OML_Handle& handle, std::string_view name, OML_Callback callback, void* argument);

// Renders to standard output (printing the page header first, once). 0 when
// the template is finished; non-zero when it stops at a loop, whose name (with
// its "$") is stored in `loop` when given. While a loop is open each call
// renders its body once; OML_ExitLoop closes it. A loop met inside a loop body
// stops that iteration the same way; once the inner loop is closed, the next
// call finishes the outer iteration. Loops inside hidden blocks are skipped.
// A caller closes every loop it is stopped at, also one it does not iterate:
// calling OML_Execute again without OML_ExitLoop renders one more iteration.
// After the template is finished further calls print nothing and answer 0, as
// does a call without a template.
int OML_Execute(OML_Handle& handle, std::string* loop = nullptr);
// Closes the loop that the last OML_Execute stopped at: 0, or -1 when no loop
// is open.
int OML_ExitLoop(OML_Handle& handle);
void OML_Close(OML_Handle& handle);

// Where pages and the header are written: standard output unless a test or a
// fuzzer sets another stream (nullptr restores standard output). Callbacks
// write where they like: their output lands in place only when they write to
// the same stream.
void OML_SetOutput(std::FILE* out);

// Prints "Content-Type: text/html; charset=<user charset>" and the blank
// line, once per process, whatever the flags; later calls print nothing.
// Pages pass kOmlHeaderHtml.
inline constexpr int kOmlHeaderHtml = 32;
void OML_HeaderPrint(int flags);
// True once the header has been printed.
bool OML_HeaderPrinted();
// Forgets that the header was printed (tests).
void OML_HeaderResetForTest();

// Follows a rendered page; this site adds nothing after pages.
void genEditTable(std::string_view user_id, const std::string& template_path);
