// The container's Blowfish-CBC checked against an implementation we did not
// write: the openssl command line with its legacy provider.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Constants.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace internal = ZQ::RVL::Utils::Crypto::internal;
using zqtest::Pattern;
using zqtest::ReadFile;
using zqtest::WriteFile;

namespace {

std::string Hex(const unsigned char* bytes, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

bool OpenSslCommandWorks() {
  return std::system(
             "openssl enc -bf-cbc -provider legacy -provider default -K 00 -iv 00 "
             "-in /dev/null -out /dev/null >/dev/null 2>&1") == 0;
}

// Runs `openssl enc` in the given direction with the built-in key and `iv`.
bool RunOpenSsl(const char* direction, const std::string& iv, const std::string& in,
                const std::string& out) {
  const std::string command = std::string("openssl enc ") + direction +
                              " -bf-cbc -provider legacy -provider default -nosalt -K " +
                              Hex(internal::gcGlobalCryptoKey, 16) + " -iv " + iv + " -in '" + in +
                              "' -out '" + out + "' 2>&1";
  return std::system(command.c_str()) == 0;
}

class OpenSslCrossCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpenSslCommandWorks()) {
      GTEST_SKIP() << "the openssl command with its legacy provider is not available";
    }
  }
  zqtest::TempDir dir_;
};

}  // namespace

TEST_F(OpenSslCrossCheck, OurCiphertextDecryptsWithOpenSsl) {
  for (std::size_t n : {0u, 7u, 8u, 1000u, 4099u}) {
    const std::string plain = Pattern(n, static_cast<unsigned>(n) + 3);
    const std::string container = zqtest::EncryptToString(plain, false);
    WriteFile(dir_.File("cipher"), container.substr(20));
    const std::string iv = Hex(reinterpret_cast<const unsigned char*>(container.data()) + 12, 8);
    ASSERT_TRUE(RunOpenSsl("-d", iv, dir_.File("cipher"), dir_.File("plain"))) << n;
    EXPECT_EQ(plain, ReadFile(dir_.File("plain"))) << n;
  }
}

TEST_F(OpenSslCrossCheck, OpenSslCiphertextBehindOurHeaderDecrypts) {
  const unsigned char iv[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
  for (std::size_t n : {0u, 13u, 2048u}) {
    const std::string plain = Pattern(n, static_cast<unsigned>(n) + 9);
    WriteFile(dir_.File("plain"), plain);
    ASSERT_TRUE(RunOpenSsl("-e", Hex(iv, 8), dir_.File("plain"), dir_.File("cipher")));
    const std::string header = "ZQCRYPTO" + zqtest::SizeBytes(static_cast<std::int32_t>(n)) +
                               std::string(reinterpret_cast<const char*>(iv), 8);
    WriteFile(dir_.File("box"), header + ReadFile(dir_.File("cipher")));
    ASSERT_TRUE(Crypto::FileDecrypt(dir_.File("box").c_str(), dir_.File("back").c_str(), false));
    EXPECT_EQ(plain, ReadFile(dir_.File("back"))) << n;
  }
}
