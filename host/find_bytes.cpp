#include "host/find_bytes.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

#if defined(__SSE2__)
using Block = __m128i;
Block Load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
Block Splat(char c) { return _mm_set1_epi8(c); }
// One bit per byte where both blocks hold their byte.
unsigned BothMatch(Block a, Block fa, Block b, Block fb) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, fa), _mm_cmpeq_epi8(b, fb))));
}
#else
struct Block {
  unsigned char b[16];
};
Block Load(const char* p) {
  Block v;
  std::memcpy(v.b, p, 16);
  return v;
}
Block Splat(char c) {
  Block v;
  std::memset(v.b, c, 16);
  return v;
}
unsigned BothMatch(Block a, Block fa, Block b, Block fb) {
  unsigned bits = 0;
  for (int i = 0; i < 16; ++i) bits |= unsigned(a.b[i] == fa.b[i] && b.b[i] == fb.b[i]) << i;
  return bits;
}
#endif

}  // namespace

const char* FindBytes(const char* hay, std::size_t n, const char* needle, std::size_t m) {
  if (m == 0 || m > n) return m == 0 ? hay : nullptr;
  if (m == 1) return static_cast<const char*>(std::memchr(hay, needle[0], n));
  const Block first = Splat(needle[0]);
  const Block last = Splat(needle[m - 1]);
  const std::size_t end = n - m + 1;  // candidate starts are below this
  std::size_t compared = 0;
  std::size_t i = 0;
  for (; i + 16 <= end; i += 16) {
    unsigned bits = BothMatch(Load(hay + i), first, Load(hay + i + m - 1), last);
    while (bits != 0) {
      std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(bits));
      if (std::memcmp(hay + at + 1, needle + 1, m - 2) == 0) return hay + at;
      bits &= bits - 1;
      compared += m;
    }
    // Comparisons beyond the bytes passed: the data is built to match often.
    if (compared > i + 4096) break;
  }
  const void* rest = memmem(hay + i, n - i, needle, m);
  return static_cast<const char*>(rest);
}
