// The chunked decryptor driven by the input: the call sequence (init, chunks
// of chosen lengths, deinit, in any order, misuse included) comes from the
// front of the input, the container from the rest. Every chunk stays within
// its buffer and, when the calls are well-formed, the chunks add up to what
// StreamDecrypt yields, through the kind of stream the input picks (with or
// without exceptions) as through a plain string stream.
#include <sstream>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const bool light = input.Flag();
  const zqfuzz::StreamChoice choice = input.Stream();
  const int operations = input.Byte() % 16;
  std::vector<std::uint8_t> script;
  for (int i = 0; i < operations; ++i) script.push_back(input.Byte());
  const std::string bytes = input.Rest();

  zqtest::SourceStream scripted(choice.kind, bytes, choice.exceptions);
  std::istream& in = scripted.Get();
  std::vector<char> buffer(4096 + 64);
  for (std::uint8_t op : script) {
    switch (op >> 6) {
      case 0: {
        int plainSize = 0;
        Crypto::DecryptStreamInit(in, plainSize, light);
        break;
      }
      case 1:
        Crypto::DecryptStreamDeinit();
        break;
      default: {
        // Mostly valid lengths (multiples of 16 up to 1024), some not.
        const int length = (op & 32) != 0 ? (op & 31) : 16 * ((op & 31) + 1) * 2;
        int delivered = length;
        const char guard = '\x7e';
        buffer[static_cast<std::size_t>(length)] = guard;
        if (Crypto::DecryptStreamChunk(in, buffer.data(), delivered, light) &&
            (delivered < 0 || delivered > length)) {
          zqfuzz::Fail("a chunk reported more bytes than its buffer holds");
        }
        if (buffer[static_cast<std::size_t>(length)] != guard)
          zqfuzz::Fail("wrote past the buffer");
      }
    }
  }
  Crypto::DecryptStreamDeinit();

  // The well-formed sequence must agree with StreamDecrypt.
  std::istringstream whole(bytes);
  std::ostringstream expected;
  const bool wholeOk = Crypto::StreamDecrypt(whole, expected, light);
  // The documented loop, in chunks of 64 bytes; the plain bytes or nothing.
  const auto readChunks = [&buffer, light](std::istream& in, bool& ok) {
    int plainSize = 0;
    ok = Crypto::DecryptStreamInit(in, plainSize, light);
    std::string got;
    while (ok) {
      int length = 64;
      ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, light);
      if (ok) got.append(buffer.data(), static_cast<std::size_t>(length));
      if (in.eof()) break;
    }
    Crypto::DecryptStreamDeinit();
    return got;
  };
  zqtest::SourceStream plain(zqtest::StreamKind::kString, bytes, false);
  bool plainOk = false;
  const std::string plainGot = readChunks(plain.Get(), plainOk);
  zqtest::SourceStream chosen(choice.kind, bytes, choice.exceptions);
  bool ok = false;
  const std::string got = readChunks(chosen.Get(), ok);
  if (ok != plainOk || got != plainGot) {
    zqfuzz::Fail("another kind of stream gives other chunks");
  }
  // Chunks read to the end of the stream; StreamDecrypt stops at the size
  // field. They agree when the container is the whole stream.
  const bool wholeStream = wholeOk && whole.peek() == std::char_traits<char>::eof();
  if (wholeStream && (!ok || got != expected.str())) {
    zqfuzz::Fail("chunked decryption disagrees with StreamDecrypt");
  }
  return 0;
}
