// DeserializeImpl over a stream holding several containers, until one fails.
// Every blob read serialises and reads back to the same bytes.
#include <memory>
#include <sstream>

#include "fuzz/FuzzInput.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const std::uint8_t forms = input.Byte();  // bit i: light flag of the i-th blob
  std::istringstream in(input.Rest());
  for (int i = 0; i < 8; ++i) {
    const bool light = ((forms >> i) & 1) != 0;
    unsigned char* raw = nullptr;
    int length = 0;
    const bool ok = Crypto::DeserializeImpl(in, raw, length, light);
    std::unique_ptr<unsigned char[]> blob(ok ? raw : nullptr);
    if (!ok) {
      if (raw != nullptr) zqfuzz::Fail("a failed read handed out an array");
      break;
    }
    if (raw == nullptr || length < 0) zqfuzz::Fail("a read blob has no array");
    if (length == 0) continue;
    std::ostringstream out;
    if (!Crypto::SerializeImpl(blob.get(), length, out, light)) zqfuzz::Fail("re-serialise failed");
    std::istringstream again(out.str());
    unsigned char* backRaw = nullptr;
    int backLength = 0;
    if (!Crypto::DeserializeImpl(again, backRaw, backLength, light))
      zqfuzz::Fail("read back failed");
    std::unique_ptr<unsigned char[]> back(backRaw);
    if (backLength != length ||
        std::char_traits<char>::compare(reinterpret_cast<const char*>(back.get()),
                                        reinterpret_cast<const char*>(blob.get()),
                                        static_cast<std::size_t>(length)) != 0) {
      zqfuzz::Fail("blob does not read back to the same bytes");
    }
  }
  return 0;
}
