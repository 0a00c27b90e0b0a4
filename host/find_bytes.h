// Searching a large buffer for a short byte string.
#pragma once

#include <cstddef>

// The first occurrence of needle (1 to 255 bytes) in hay, or null. Blocks of
// 16 bytes are tested for the needle's first and last byte at once; only
// positions where both match are compared. Should candidates turn out dense
// (hostile data), the rest is searched with memmem, so the work stays linear.
const char* FindBytes(const char* hay, std::size_t hay_size, const char* needle,
                      std::size_t needle_size);
