// The background lists of a compose window: the background image
// ("<user id>_<cpid>_BG.dat") and the background sound ("..._BS.dat") of an
// HTML message, in <root>/tmp, each one line "name;path;size;type\n". The
// background pages write them; they and the compose program read them.
//
// Lines are split from their start: the first ";" that does not close a
// numeric character reference ("&#x" hex digits ";", "&#d" or "&#" decimal
// digits ";") is a separator. Every field written keeps to that rule, so a
// list always reads back as written and no text can add a field or a line.
//
// The program holds one record and one count for each list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct BackgroundRecord {
  std::int32_t type;  // the type number chosen on the page
  std::int32_t size;  // bytes
  char name[256];     // display name
  char path[256];     // the stored file, in the hashed store
};

// The list paths of the logged-in user and the compose identifier, in a
// buffer of the module that each call overwrites.
const std::string& BG_ListPath(const char* cpid);
const std::string& BS_ListPath(const char* cpid);

// Loads the list: clears the record and the count, then reads every valid
// line (three separators; its path fits the record whole and reads back as
// written), each overwriting the record. Answers the count of valid lines; 0
// when the file cannot be opened. Lines of more than 1023 bytes are skipped;
// a name longer than its slot is cut between characters.
int BG_ListRead(const std::string& path);
int BS_ListRead(const std::string& path);

// Fills `rec` from one line (NUL-terminated, cut where the fields end);
// false when it is not a valid line (see BG_ListRead).
bool BG_ParseLine(char* line, BackgroundRecord& rec);

// Copies the record and sets the count to 1; answers 1.
int BG_Set(const BackgroundRecord& record);
int BS_Set(const BackgroundRecord& record);

// Sets the count to 0 and marks the record's stored file for deletion:
// the next BG_ListWrite that succeeds deletes it, and only when it lies
// below the hashed store (no "..", no symbolic link on the way). 1, or -1
// when the count is 0 or less.
int BG_Remove();
int BS_Remove();

// Writes the list: with a count of 0 or less the file is deleted (0);
// otherwise one line through a temporary name unique to the process and a
// rename (1). -1 when it cannot be written (the file stays as it was), also
// when the record's path would not read back as written.
int BG_ListWrite(const std::string& path);
int BS_ListWrite(const std::string& path);

// The record and the count of each list.
BackgroundRecord& BG_Record();
int& BG_Count();
BackgroundRecord& BS_Record();
int& BS_Count();

// The head of a background's stored name in the hashed store: the process
// id in upper-case hex, then the user id ("%X%s"); the source's name follows.
std::string BG_StoredNameHead(int pid, std::string_view user);

// True when `name` begins with such a head of `user`: one or more upper-case
// hex digits, then the user id.
bool BG_IsStoredNameOf(std::string_view name, std::string_view user);

// The first field separator of a NUL-terminated text, or null.
const char* BG_NextSeparator(const char* text);
char* BG_NextSeparator(char* text);

// Copies a name into a background list field so it reads back as written
// (control bytes become "_", a ";" that closes no reference "&#59;"), cut
// between whole characters to fit `size` - 1 bytes.
void BG_SetField(char* field, std::size_t size, std::string_view text);
