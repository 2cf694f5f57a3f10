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
