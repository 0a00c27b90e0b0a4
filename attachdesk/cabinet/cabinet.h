// The document cabinet in the attachment window: the page that lists a
// cabinet folder to choose files from, and the source that attaches them.
#pragma once

#include <string>

// The cabinet source ("doc"): the files named by "org_name" (or "name") in
// the folder "dir_path" of the cabinet "dc_base", each after the permission
// check, admitted as uploads are. A file the user may not read (or that does
// not exist) ends the intake with code 3; folders, metadata files and links
// leading out of the cabinet are skipped.
void AD_CabinetSource();

// The cabinet page (request variable "dcview"): the folder "dir_path" of the
// cabinet "dc_base" (default: the user's own, or "*" and "dc_owner" for
// another user's), its folders to open and its files to attach.
[[noreturn]] void AD_CabinetPage();
