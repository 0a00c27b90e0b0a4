// Compose identifiers become part of file names in the tmp folder
// ("<user>_<cpid>_Attach.dat"); only safe ones are taken.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/attach/window_names.h"

namespace intake {

// The rules of the names' parts (common/attach/window_names.h): no "/", "_"
// or control byte, not "." or "..", an identifier at most kComposeIdMax
// bytes (the empty identifier means none).
inline constexpr std::size_t kComposeIdMax = window_names::kWindowIdMax;
using window_names::IsSafeNamePart;
inline bool IsValidComposeId(std::string_view cpid) {
  return window_names::IsValidWindowId(cpid);
}

// IsValidComposeId, answering a request with an identifier that is not valid
// with "Status: 400" (the program then exits with 1 and touches no file).
bool AcceptComposeId(std::string_view cpid);

// A text variable, or the data of the multipart part of that name when the
// text is null or empty (a multipart form carries "atid" as a part); null
// when neither is there.
const char* TextOrPart(std::string_view name);

}  // namespace intake
