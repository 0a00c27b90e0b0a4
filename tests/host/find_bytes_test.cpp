// FindBytes, and each of its block tests, answers as memmem does, on every
// alignment and on data built to match the needle's ends everywhere.
#include "host/cgi/find_bytes.h"

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

const char* Reference(const std::string& hay, const std::string& needle) {
  return static_cast<const char*>(memmem(hay.data(), hay.size(), needle.data(), needle.size()));
}

const FindBytesKind kKinds[] = {FindBytesKind::kPortable, FindBytesKind::kSse2,
#if defined(__x86_64__)
                                FindBytesKind::kAvx2
#endif
};

TEST(FindBytes, AgreesWithMemmem) {
  std::mt19937 rng(7);
  const std::string needles[] = {"\n--b", "\n--", "ab", "x", "\n------boundary7d0a"};
  for (const std::string& needle : needles) {
    for (int trial = 0; trial < 300; ++trial) {
      std::string hay(rng() % 400, '\0');
      for (char& c : hay) c = "\n-bax"[rng() % 5];
      if (trial % 3 == 0 && hay.size() > needle.size()) {
        hay.replace(rng() % (hay.size() - needle.size()), needle.size(), needle);
      }
      const char* want = Reference(hay, needle);
      EXPECT_EQ(FindBytes(hay.data(), hay.size(), needle.data(), needle.size()), want)
          << "needle " << needle.size() << " hay " << hay.size();
      for (FindBytesKind kind : kKinds) {
        EXPECT_EQ(FindBytesWith(kind, hay.data(), hay.size(), needle.data(), needle.size()), want)
            << "kind " << static_cast<int>(kind) << " needle " << needle.size() << " hay "
            << hay.size();
      }
    }
  }
}

TEST(FindBytes, DenseCandidatesStayCorrect) {
  // Every position begins with the needle's first byte and ends with its
  // last, and the needle itself comes only at the very end.
  std::string needle = "\n" + std::string(60, '-') + "Z";
  std::string hay;
  while (hay.size() < (1 << 20)) hay += "\n" + std::string(59, '-') + "Z";
  hay += needle;
  EXPECT_EQ(FindBytes(hay.data(), hay.size(), needle.data(), needle.size()),
            hay.data() + hay.size() - needle.size());
  for (FindBytesKind kind : kKinds) {
    EXPECT_EQ(FindBytesWith(kind, hay.data(), hay.size(), needle.data(), needle.size()),
              hay.data() + hay.size() - needle.size());
  }
}

}  // namespace
