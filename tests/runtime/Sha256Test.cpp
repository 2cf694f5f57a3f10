// The library's own SHA-256, which names every by-host settings file: it must
// give OpenSSL's digest at every length (the padding takes a second block
// from 56 bytes of tail on), and the store must not need OpenSSL at all.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <string>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"
#include "utils/runtime/Sha256.h"

namespace internal = ZQ::RVL::Utils::internal;

namespace {
std::string Hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) hex += {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
  return hex;
}

std::string OurDigest(const std::string& data) {
  unsigned char digest[32];
  internal::Sha256(data.data(), data.size(), digest);
  return Hex(digest, sizeof digest);
}
}  // namespace

TEST(Sha256, GivesThePublishedDigests) {
  const struct {
    std::string data;
    const char* digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.digest, OurDigest(row.data)) << row.data.size();
}

TEST(Sha256, AgreesWithOpenSslAtEveryLengthAroundTheBlocks) {
  std::string data;
  for (unsigned n = 0; n < 300; ++n) {
    unsigned char theirs[32];
    unsigned length = 0;
    ASSERT_EQ(1, EVP_Digest(data.data(), data.size(), theirs, &length, EVP_sha256(), nullptr));
    EXPECT_EQ(Hex(theirs, length), OurDigest(data)) << n << " bytes";
    data += static_cast<char>(n * 37 + 11);
  }
}

// A host that cleans OpenSSL up (as exit does before the destructors of
// statics made earlier) still reads and writes all-users settings: the first
// call hashes the machine id then.
TEST(Sha256, StoreWorksAfterOpenSslCleanedUp) {
  const zqtest::TempDir dir;
  EXPECT_EQ(0, zqtest::RunInChild([&] {
              ::unsetenv("ZQ_HOST_ID");
              ::setenv("ZQ_PREFERENCES_ROOT", dir.Path().c_str(), 1);
              OPENSSL_cleanup();
              const ZQ::RVL::Utils::Config all(0, "After Cleanup", "Probe Co");
              std::string value;
              all.SetString("key", "kept");
              return all.GetString("key", value) && value == "kept";
            }));
}
