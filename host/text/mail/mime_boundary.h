// Boundaries of multipart mail bodies.
#pragma once

#include <string>

// A fresh boundary text, unique to this process and call and unpredictable
// (so it cannot already occur in the data it encloses). At most 127
// characters, all of them valid in an unquoted MIME boundary parameter.
std::string mime_boundary();
