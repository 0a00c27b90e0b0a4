// The attachment list file of a compose window: one line per attachment,
// "ext_num;ext_text;charset;name;path;size\n", in <root>/tmp named
// "<user id>_<cpid>_Attach.dat". The compose program reads the same file.
//
// The list lives in one process-wide table that the handlers load, change and
// write back whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct AttachRecord {
  std::int32_t size;
  char name[256];
  char path[256];
  char charset[32];
  char ext_text[256];
  std::int32_t ext_num;
};

inline constexpr int kAttachTableSize = 256;
// Adding stops at this many records; loading stops at kAttachTableSize.
inline constexpr int kAttachAddLimit = 255;

struct AttachTable {
  int count;
  AttachRecord records[kAttachTableSize];
};

// The process-wide table.
AttachTable& ATT_Table();

// The list path for the logged-in user and the compose identifier.
const std::string& ATT_ListPath(const char* cpid);

// Loads the table from `path`; answers the records loaded (0 when the file
// cannot be opened).
int ATT_ListRead(const std::string& path);

// Appends a copy; 1, or -1 when 255 records are held already.
int ATT_ListAdd(const AttachRecord& record);

// Removes the record at `index`; 1, or -1 for an index out of range. Its
// stored file, when that lies below the tmp folder, is deleted by the next
// ATT_ListWrite that succeeds (the list on disk names it until then).
int ATT_ListRemove(int index);

// Writes the table to `path` (deleting the file when the table is empty),
// then deletes the stored files of the records removed since the list was
// read. Answers the records written, 0 for an empty table, -1 when the list
// could not be written (the file on disk is unchanged, and so are the stored
// files of removed records).
int ATT_ListWrite(const std::string& path);

// Fills `rec` from one line (without its newline, NUL-terminated; cut where
// the fields end); false when the line has fewer than the five fields
// "ext_text;charset;name;path;size".
bool ATT_ParseLine(char* line, AttachRecord& rec);

// The last field separator of a NUL-terminated line: a ";" that does not close
// a numeric character reference ("&#" digits ";" or "&#x" hex digits ";").
char* ATT_LastSeparator(char* text);

// 1 when two entries name charsets with different non-zero values.
int ATT_CharsetsMixed();
// 1 when an entry has a non-empty charset.
int ATT_HasCharset();

// Copies a name into a list field so it reads back as written: control bytes
// become "_", and a ";" that does not close a numeric character reference
// becomes "&#59;". Cut at whole characters to fit `size` - 1 bytes.
void ATT_SetField(char* field, std::size_t size, std::string_view text);
