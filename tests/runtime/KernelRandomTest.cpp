// The /dev/urandom fallback of the random source, which getrandom(2) makes
// unreachable on current kernels: it must read the device and report short or
// failed reads.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/TempDir.h"
#include "utils/runtime/KernelRandom.h"

namespace internal = ZQ::RVL::Utils::internal;

TEST(KernelRandom, FileReaderReadsTheDevice) {
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(internal::ReadRandomFile("/dev/urandom", a, sizeof a));
  ASSERT_TRUE(internal::ReadRandomFile("/dev/urandom", b, sizeof b));
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(KernelRandom, FileReaderFailsOnShortOrUnreadableFiles) {
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
