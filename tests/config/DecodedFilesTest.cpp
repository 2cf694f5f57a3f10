// The kept files stay within their memory, dictionaries counted.
#include <gtest/gtest.h>

#include <string>

#include "utils/config/store/DecodedFiles.h"

namespace P = ZQ::RVL::Utils::Preferences;

TEST(DecodedFiles, KeptDictionariesCountAgainstTheMemoryLimit) {
  // 128 files of 20,000 short entries: their bytes alone fit the limit
  // (about 170 KB each), their dictionaries do not.
  const std::string bytes(170000, 'b');
  for (int file = 0; file < 128; ++file) {
    P::Dictionary dictionary;
    for (int i = 0; i < 20000; ++i) dictionary.emplace(std::to_string(i), P::TextValue{"v"});
    P::KeepDecoded("/kept/" + std::to_string(file), bytes + std::to_string(file),
                   std::move(dictionary));
    ASSERT_LE(P::KeptFootprint(), P::kMaxKeptBytes) << "after file " << file;
  }
  // The latest file is kept.
  EXPECT_GT(P::KeptFootprint(), 0u);
}

// Files above 1 MiB, and more than 8 domains, are kept: a read of any of them
// that finds its bytes unchanged needs no second check.
TEST(DecodedFiles, LargeFilesAndManyDomainsAreKept) {
  const std::string large(2u << 20, 'l');
  P::KeepChecked("/large", large, P::PlistLayout::kFlat);
  for (int domain = 0; domain < 64; ++domain) {
    P::KeepChecked("/domain/" + std::to_string(domain), std::string(40000, 'd'),
                   P::PlistLayout::kFlat);
  }
  EXPECT_NE(nullptr, P::FindKept("/large", large));
  for (int domain = 0; domain < 64; ++domain) {
    EXPECT_NE(nullptr, P::FindKept("/domain/" + std::to_string(domain), std::string(40000, 'd')))
        << domain;
  }
  EXPECT_EQ(nullptr, P::FindKept("/large", std::string(2u << 20, 'm'))) << "other bytes";
}
