// StreamDecrypt and StreamPlainSize on arbitrary bytes in both forms, read
// through the kind of stream the input picks (with or without exceptions):
// the results, bytes and position are the plain string stream's. A container
// that decrypts must re-encrypt and decrypt to the same plain bytes.
#include <sstream>

#include "fuzz/FuzzInput.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const bool light = input.Flag();
  const zqfuzz::StreamChoice choice = input.Stream();
  const std::string bytes = input.Rest();

  std::istringstream sizeIn(bytes);
  int plainSize = 0;
  const bool header = Crypto::StreamPlainSize(sizeIn, plainSize, light);

  zqtest::SourceStream plainIn(zqtest::StreamKind::kString, bytes, false);
  std::ostringstream out;
  const bool ok = Crypto::StreamDecrypt(plainIn.Get(), out, light);
  if (ok && !header) zqfuzz::Fail("decrypted a container whose header was refused");

  zqtest::SourceStream chosen(choice.kind, bytes, choice.exceptions);
  std::ostringstream chosenOut;
  if (Crypto::StreamDecrypt(chosen.Get(), chosenOut, light) != ok || chosenOut.str() != out.str()) {
    zqfuzz::Fail("another kind of stream gives another result");
  }
  if (chosen.Rest() != plainIn.Rest()) zqfuzz::Fail("another kind of stream ends elsewhere");
  if (!ok) return 0;

  const std::string plain = out.str();
  std::istringstream plainBytes(plain);
  std::ostringstream again;
  if (!Crypto::StreamEncrypt(plainBytes, static_cast<int>(plain.size()), again, light)) {
    zqfuzz::Fail("re-encryption failed");
  }
  std::istringstream againIn(again.str());
  std::ostringstream back;
  if (!Crypto::StreamDecrypt(againIn, back, light) || back.str() != plain) {
    zqfuzz::Fail("re-encrypted container does not decrypt to the same bytes");
  }
  return 0;
}
