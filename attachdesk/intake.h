// The working values of one request's intake, shared by its sources.
#pragma once

#include <cstdint>
#include <string>

#include "host/base/memstream.h"

struct AD_Intake {
  MEM_WFP insertion;       // text for the message body (insert mode)
  std::string list_path;   // empty without a compose identifier: no list file
  std::int64_t total = 0;  // the list's size, raised by each file added
  int pid = 0;             // part of every stored file name of the request
  bool changed = false;    // the list differs from its file
  int empty_upload = 0;    // kAdEmptyUpload when an upload had a name but no data
  std::string lock_path;   // the window's lock file while it is held
  int lock_fd = -1;
};

AD_Intake& AD_GetIntake();

// Writes the list back when this request changed it, and lets the next
// request of the window go on (the page reads only the table in memory).
void AD_WriteList();

// Writes the list and ends the request with the page of an error code.
[[noreturn]] void AD_Refuse(int code, const char* name, const char* virus);

// The form's source: removals, the upload fields and the URL.
void AD_FormSource();

// Writes `length` bytes to a new stored file at `path` (mode 0600, never
// through a link). 0, or -1 with the reason in the error log and no file left.
int AD_StoreCopy(const std::string& path, const char* data, std::int64_t length);

// A stored path fits a record's path field and reads back from the list as
// written (no ";"); logs the refusal for `function` otherwise.
bool AD_PathFitsRecord(const std::string& path, const char* function);

