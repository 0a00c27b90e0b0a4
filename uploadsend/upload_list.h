// The upload list of a compose session: the files that the upload control's
// receiving side stored, one line each, "name;path;size\n", in <root>/tmp
// named "<user id>_<number>_Upload.dat". The receiver writes it (with the
// add and write operations below); the import reads it and deletes it.
//
// The name is the upload's name as the client gave it and may hold ";"; the
// path and the size may not, so a line is split from its end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct UploadRecord {
  std::int32_t size;
  char name[256];
  char path[256];
};

inline constexpr int kUploadTableSize = 256;
// Adding stops at this many records; loading stops at kUploadTableSize.
inline constexpr int kUploadAddLimit = 255;

struct UploadTable {
  int count;
  UploadRecord records[kUploadTableSize];
};

// The process-wide table: one upload list is loaded at a time.
UploadTable& UPL_Table();

// The compose number of an identifier: its leading base-10 digits as C's
// atoi reads them (blanks and a sign allowed), 0 when there are none.
int UPL_Number(std::string_view cpid);

// The upload list path of the logged-in user for a compose number.
const std::string& UPL_ListPath(int number);

// True when `path` names a file below the tmp folder: it begins with
// "<root>/tmp/", names something after that, has no ".." component and no
// control byte. Only such paths are ever read, listed or deleted.
bool UPL_PathBelowTmp(std::string_view path);

// Clears the table and loads the list at `path`; answers the records loaded
// (0 when the file cannot be opened). Lines with fewer than two ";", an empty
// name, a negative size, or a path that is not below the tmp folder or does
// not fit its slot are skipped; a line over 1023 bytes is skipped whole; a
// name over 255 bytes is cut at a character. Stops at kUploadTableSize
// records.
int UPL_ListRead(const std::string& path);

// Appends a copy; 1, or -1 when kUploadAddLimit records are held already.
int UPL_ListAdd(const UploadRecord& record);

// Deletes the record's stored file (only when it lies below the tmp folder)
// and removes the record; 1, or -1 for an index outside the table.
int UPL_ListRemove(int index);

// Writes the table to `path` through a temporary file unique to this process
// and a rename, deleting the file when the table is empty. A name's control
// bytes become "_", and so do a path's control bytes and ";", so each record
// stays one line that reads back. Answers the records written, 0 for an empty
// table, -1 when the file could not be written (it is then unchanged).
int UPL_ListWrite(const std::string& path);
