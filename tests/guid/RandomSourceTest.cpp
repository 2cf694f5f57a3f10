// The kernel random reader and its /dev/urandom fallback, including the
// failures the fallback must report instead of handing out stale bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/TempDir.h"
#include "utils/guid/RandomSource.h"

namespace internal = ZQ::RVL::Utils::internal;

TEST(RandomSource, KernelRandomFillsEveryByte) {
  // The last 32 bytes stay zero only when the reader stops short.
  unsigned char a[64] = {}, b[64] = {};
  ASSERT_TRUE(internal::ReadKernelRandom(a, sizeof a));
  ASSERT_TRUE(internal::ReadKernelRandom(b, sizeof b));
  const unsigned char zeros[32] = {};
  EXPECT_NE(0, std::memcmp(a + 32, zeros, 32));
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(RandomSource, FileReaderReadsTheDevice) {
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(internal::ReadRandomFile("/dev/urandom", a, sizeof a));
  ASSERT_TRUE(internal::ReadRandomFile("/dev/urandom", b, sizeof b));
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(RandomSource, FileReaderFailsOnShortOrUnreadableFiles) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.File("short"), std::string(15, 'x'));
  const struct {
    std::string path;
    const char* why;
  } cases[] = {
      {"/dev/null", "ends at once"},
      {dir.File("short"), "ends one byte early"},
      {dir.File("missing"), "does not exist"},
      {dir.Path().string(), "is a folder"},
  };
  for (const auto& c : cases) {
    unsigned char out[16];
    EXPECT_FALSE(internal::ReadRandomFile(c.path.c_str(), out, sizeof out)) << c.why;
  }
}
