// Memo notes and calendar exports in the attachment window: the two sources
// and the page that chooses notes.
#pragma once

#include <string>
#include <string_view>

#include "common/attach/notes/memo_note.h"

// The memo note source ("mnote"): the i-th "file" value is the key of a note
// in the folder of the i-th "cate" value (the last one once they run out; none
// or an empty one: the note root). Each note is attached as a ".txt" file
// under its title or, for a dated note, its time. Keys reach files only
// through their folder's index; a key whose folder or note is missing or
// refused is skipped.
void AD_NoteSource();

// The calendar source ("cal"): the exports "cal_<user>_<fname>.ics" of the tmp
// folder named by the "fname" values, each attached as "<title>.ics", with at
// most 4 one-second waits per request for exports not written yet.
void AD_CalendarSource();

// Checks every "fname" value up to the first empty one before anything is
// looked up or written: one that holds "/", "_" or a control byte, or is "."
// or "..", answers the request with "Status: 400" and false.
bool AD_CalendarNamesAccepted();

// The note page (request variable "mnoteview"): the user's note folders, and
// the notes of the folder "cate" to choose; the choice is posted back as the
// memo note source.
[[noreturn]] void AD_NotePage();

// The file name a note is attached under, before the list's own rules:
// "YYYY-MM-DD HH:MM.txt" of its time (local) for a dated note, otherwise its
// title made safe ("/" and "\" become "_") and ".txt"; at most 255 bytes,
// the title cut at a whole character of `charset_value`.
std::string AD_NoteFileName(const MNOTE_Entry& entry, int charset_value);

// `stem` and `extension` joined, the stem cut at a whole character of
// `charset_value` so that the name has at most 255 bytes.
std::string AD_NameWithExtension(std::string_view stem, std::string_view extension,
                                 int charset_value);
