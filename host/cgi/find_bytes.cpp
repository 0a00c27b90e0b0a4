#include "host/cgi/find_bytes.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// Comparisons beyond the bytes passed after which the data counts as built
// to match often, and the rest goes to memmem.
constexpr std::size_t kDenseSlack = 4096;

// Compares the needle at the candidate starts `bits` (bit k: position
// at + k), the first match or null; `*compared` counts the bytes compared.
inline const char* Candidates(const char* hay, std::size_t at, std::uint64_t bits,
                              const char* needle, std::size_t m, std::size_t* compared) {
  while (bits != 0) {
    std::size_t pos = at + static_cast<std::size_t>(__builtin_ctzll(bits));
    if (std::memcmp(hay + pos + 1, needle + 1, m - 2) == 0) return hay + pos;
    bits &= bits - 1;
    *compared += m;
  }
  return nullptr;
}

// The start of the part `memmem` searches: where the block scan stopped.
const char* Rest(const char* hay, std::size_t n, std::size_t i, const char* needle, std::size_t m) {
  return static_cast<const char*>(memmem(hay + i, n - i, needle, m));
}

#if defined(__SSE2__)
const char* ScanSse2(const char* hay, std::size_t n, const char* needle, std::size_t m) {
  const __m128i first = _mm_set1_epi8(needle[0]);
  const __m128i last = _mm_set1_epi8(needle[m - 1]);
  const std::size_t end = n - m + 1;  // candidate starts are below this
  std::size_t compared = 0;
  std::size_t i = 0;
  for (; i + 16 <= end; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + m - 1));
    unsigned bits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    if (bits == 0) continue;
    if (const char* hit = Candidates(hay, i, bits, needle, m, &compared)) return hit;
    if (compared > i + kDenseSlack) break;
  }
  return Rest(hay, n, i, needle, m);
}
#endif

#if defined(__x86_64__)
// 64 candidate starts per step, in two 32-byte halves.
__attribute__((target("avx2"))) const char* ScanAvx2(const char* hay, std::size_t n,
                                                     const char* needle, std::size_t m) {
  const __m256i first = _mm256_set1_epi8(needle[0]);
  const __m256i last = _mm256_set1_epi8(needle[m - 1]);
  const std::size_t end = n - m + 1;
  std::size_t compared = 0;
  std::size_t i = 0;
  for (; i + 64 <= end; i += 64) {
    const char* p = hay + i;
    const char* q = hay + i + m - 1;
    __m256i lo = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), last));
    __m256i hi = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)), last));
    __m256i any = _mm256_or_si256(lo, hi);
    if (_mm256_testz_si256(any, any)) continue;
    std::uint64_t bits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
    if (const char* hit = Candidates(hay, i, bits, needle, m, &compared)) return hit;
    if (compared > i + kDenseSlack) break;
  }
  return Rest(hay, n, i, needle, m);
}
#endif

const char* ScanPortable(const char* hay, std::size_t n, const char* needle, std::size_t m) {
  return Rest(hay, n, 0, needle, m);
}

using ScanFn = const char* (*)(const char*, std::size_t, const char*, std::size_t);

// Whether AVX2 may be used: the processor has it and the system saves its
// registers. Asked on the first search only, not at every program start as
// the compiler's own test would (CPUID is slow in a virtual machine).
bool HasAvx2() {
#if defined(__x86_64__)
  static const bool avx2 = [] {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx)) return false;
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 0x6) != 0x6) return false;  // SSE and AVX state
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & (1u << 5)) != 0;
  }();
  return avx2;
#else
  return false;
#endif
}

ScanFn BestScan() {
#if defined(__x86_64__)
  if (HasAvx2()) return ScanAvx2;
#endif
#if defined(__SSE2__)
  return ScanSse2;
#else
  return ScanPortable;
#endif
}

}  // namespace

const char* FindBytesWith(FindBytesKind kind, const char* hay, std::size_t n, const char* needle,
                          std::size_t m) {
  if (m == 0 || m > n) return m == 0 ? hay : nullptr;
  if (m == 1) return static_cast<const char*>(std::memchr(hay, needle[0], n));
  switch (kind) {
#if defined(__x86_64__)
    case FindBytesKind::kAvx2:
      if (HasAvx2()) return ScanAvx2(hay, n, needle, m);
      [[fallthrough]];
#endif
#if defined(__SSE2__)
    case FindBytesKind::kSse2:
      return ScanSse2(hay, n, needle, m);
#endif
    default:
      return ScanPortable(hay, n, needle, m);
  }
}

const char* FindBytes(const char* hay, std::size_t n, const char* needle, std::size_t m) {
  static const ScanFn scan = BestScan();
  if (m == 0 || m > n) return m == 0 ? hay : nullptr;
  if (m == 1) return static_cast<const char*>(std::memchr(hay, needle[0], n));
  return scan(hay, n, needle, m);
}
