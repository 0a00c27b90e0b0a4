// Searching a large buffer for a short byte string.
#pragma once

#include <cstddef>

// The first occurrence of needle (1 to 255 bytes) in hay, or null. Blocks of
// bytes (64 with AVX2, else 16) are tested for the needle's first and last
// byte at once; only positions where both match are compared. Should
// candidates turn out dense (hostile data), the rest is searched with
// memmem, so the work stays linear.
const char* FindBytes(const char* hay, std::size_t hay_size, const char* needle,
                      std::size_t needle_size);

// The same with a chosen block test (tests compare each with memmem); kAvx2
// tests 16 bytes at a time on a processor without AVX2.
enum class FindBytesKind { kPortable, kSse2, kAvx2 };
const char* FindBytesWith(FindBytesKind kind, const char* hay, std::size_t hay_size,
                          const char* needle, std::size_t needle_size);
