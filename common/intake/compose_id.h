// Compose identifiers become part of file names in the tmp folder
// ("<user>_<cpid>_Attach.dat"); only safe ones are taken.
#pragma once

#include <cstddef>
#include <string_view>

namespace intake {

inline constexpr std::size_t kComposeIdMax = 64;

// False for an identifier with "/", "_" (it joins user id and identifier, and
// user ids may hold "_"), a control byte, "." or "..", or over kComposeIdMax
// bytes. The empty identifier is valid: it means none.
bool IsValidComposeId(std::string_view cpid);

}  // namespace intake
