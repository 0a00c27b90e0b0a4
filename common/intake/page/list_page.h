// What both programs' pages show of a compose window's list: the names of
// its entries, the removal list, the total, the limits and the room left.
#pragma once

#include <string>
#include <string_view>

#include "common/attach/attach_list.h"
#include "host/template/template.h"

namespace intake {

// The name of a list entry as a page shows it: its last path component,
// converted to the user's charset when the entry names another one, then
// HTML-escaped with its numeric character references kept (the list's way to
// carry characters its charset lacks, "caf&#233;"). Empty when the escape does
// not fit a name buffer.
std::string DisplayName(const AttachRecord& record);

// Template callbacks over the process-wide table:
// "$keepname": one hidden input "NN" per entry, holding its display name;
void PrintKeepNames(void* argument);
// "$choice": the removal list, a multiple select named "choice" whose options
// are the entries' positions, names and sizes; nothing for an empty list. Sets
// the std::int64_t at `sum` to the list's total size.
void PrintChoices(void* sum);
// "$size": the std::int64_t at `sum` (the total once "$choice" was printed).
void PrintSize(void* sum);

// Answers a page whose template cannot be loaded: the page header, then
// "Missing System File.", and the process ends with status 1.
[[noreturn]] void ExitMissingTemplate();

// Binds "$countlimit", "$sizelimit", "$countleft" and "$sizeleft": the
// limits of the list and the room the table leaves, for the page to show
// before anything is sent. Sizes above INT_MAX show as INT_MAX.
void BindLimits(OML_Handle& page, const AttachTable& table);

// Binds what a page shows of the process-wide table: "$count", the limits
// (BindLimits) and the callbacks "$keepname", "$choice" and "$size".
void BindList(OML_Handle& page);

// HTML-escapes a long text (a message body) in pieces of 256 bytes, a piece
// taking one byte more where a cut after 256 bytes would split a two-byte
// character of the user's charset. No byte is lost or doubled.
std::string EscapeInPieces(std::string_view text);

}  // namespace intake
