// probe fingerprint | probe encrypt|decrypt light|full IN OUT
#include <cstdio>
#include <cstring>

#include "utils/crypto/Crypto.h"
#include "utils/crypto/KeyPair.h"

int main(int argc, char** argv) {
  namespace Crypto = ZQ::RVL::Utils::Crypto;
  if (argc == 2 && std::strcmp(argv[1], "fingerprint") == 0) {
    std::printf("%s %s\n", Crypto::KeyPairIsDefault() ? "default" : "custom",
                Crypto::KeyPairFingerprint().c_str());
    return 0;
  }
  if (argc != 5) return 2;
  const bool light = std::strcmp(argv[2], "light") == 0;
  const bool ok = std::strcmp(argv[1], "encrypt") == 0
                      ? Crypto::FileEncrypt(argv[3], argv[4], light)
                      : Crypto::FileDecrypt(argv[3], argv[4], light);
  return ok ? 0 : 1;
}
