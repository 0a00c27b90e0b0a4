// What the readers and writers of ".acl" share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/acl/acl_object.h"

namespace acl_internal {

ACL_Entry DecodeEntry(std::string_view bytes);
void EncodeEntry(std::string& bytes, std::size_t at, const ACL_Entry& entry);

// The object name of a main or extension record.
std::string_view RecordName(std::string_view record);

// Appends to `entries` the entries of `name` that the extension file's
// bytes hold, in file order, until there are `want`.
void TakeExtEntries(std::string_view ext, std::string_view name, std::size_t want,
                    std::vector<ACL_Entry>& entries);

// The whole file behind `fd`, from its start.
bool ReadWhole(int fd, std::string& out);

// An object whole: its main record and, when it declares more than ten
// entries, those of the extension bytes (entries missing from them empty).
ACL_Object Assemble(std::string_view record, std::string_view ext);

}  // namespace acl_internal
