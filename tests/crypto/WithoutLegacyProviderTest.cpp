// Runs only as the CTest entry that hides OpenSSL's provider modules: without
// Blowfish, full-form operations fail cleanly and the rest keeps working.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdlib>
#include <sstream>

#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

TEST(WithoutLegacyProvider, FullFormFailsAndLightFormWorks) {
  if (std::getenv("ZQ_EXPECT_NO_LEGACY") == nullptr) {
    GTEST_SKIP() << "runs only with OPENSSL_MODULES pointing nowhere";
  }
  std::istringstream in("some plain bytes");
  std::ostringstream out;
  EXPECT_FALSE(Crypto::StreamEncrypt(in, 16, out, false));
  EXPECT_EQ("", out.str()) << "nothing may be written";
  EXPECT_EQ(0u, ERR_peek_error()) << "the missing provider is not the caller's error";

  std::istringstream lightIn("some plain bytes");
  std::ostringstream light;
  ASSERT_TRUE(Crypto::StreamEncrypt(lightIn, 16, light, true));
  std::istringstream container(light.str());
  std::ostringstream back;
  EXPECT_TRUE(Crypto::StreamDecrypt(container, back, true));
  EXPECT_EQ("some plain bytes", back.str());

  std::istringstream fake("ZQCRYPTO\x08\x00\x00\x00" + std::string(16, 'x'));
  std::ostringstream none;
  EXPECT_FALSE(Crypto::StreamDecrypt(fake, none, false));

  // AES on one block does not need the legacy provider.
  char block[16] = {};
  Crypto::Encrypt(block, 16, false);
  EXPECT_NE(std::string(16, '\0'), std::string(block, 16));
}
