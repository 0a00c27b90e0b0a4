// Compose identifiers become part of file names in the tmp folder
// ("<user>_<cpid>_Attach.dat"); only safe ones are taken.
#pragma once

#include <cstddef>
#include <string_view>

namespace intake {

inline constexpr std::size_t kComposeIdMax = 64;

// False for a text that holds "/", "_" (it joins the parts of the tmp
// folder's names, and user ids may hold "_") or a control byte, or is "." or
// "..": such a text never becomes part of a file name.
bool IsSafeNamePart(std::string_view text);

// False for an identifier with "/", "_" (it joins user id and identifier, and
// user ids may hold "_"), a control byte, "." or "..", or over kComposeIdMax
// bytes. The empty identifier is valid: it means none.
bool IsValidComposeId(std::string_view cpid);

// IsValidComposeId, answering a request with an identifier that is not valid
// with "Status: 400" (the program then exits with 1 and touches no file).
bool AcceptComposeId(std::string_view cpid);

// A text variable, or the data of the multipart part of that name when the
// text is null or empty (a multipart form carries "atid" as a part); null
// when neither is there.
const char* TextOrPart(std::string_view name);

}  // namespace intake
