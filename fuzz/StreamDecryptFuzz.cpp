// StreamDecrypt and StreamPlainSize on arbitrary bytes in both forms. A
// container that decrypts must re-encrypt and decrypt to the same plain bytes.
#include <sstream>

#include "fuzz/FuzzInput.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const bool light = input.Flag();
  const std::string bytes = input.Rest();

  std::istringstream sizeIn(bytes);
  int plainSize = 0;
  const bool header = Crypto::StreamPlainSize(sizeIn, plainSize, light);

  std::istringstream in(bytes);
  std::ostringstream out;
  const bool ok = Crypto::StreamDecrypt(in, out, light);
  if (ok && !header) zqfuzz::Fail("decrypted a container whose header was refused");
  if (!ok) return 0;

  const std::string plain = out.str();
  std::istringstream plainIn(plain);
  std::ostringstream again;
  if (!Crypto::StreamEncrypt(plainIn, static_cast<int>(plain.size()), again, light)) {
    zqfuzz::Fail("re-encryption failed");
  }
  std::istringstream againIn(again.str());
  std::ostringstream back;
  if (!Crypto::StreamDecrypt(againIn, back, light) || back.str() != plain) {
    zqfuzz::Fail("re-encrypted container does not decrypt to the same bytes");
  }
  return 0;
}
