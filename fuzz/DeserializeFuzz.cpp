// DeserializeImpl over a stream holding several containers, until one fails,
// read through the kind of stream the input picks (with or without
// exceptions) and through a plain string stream: both give the same results,
// blobs and position. Every blob read serialises and reads back to the same
// bytes.
#include <cstring>
#include <memory>
#include <sstream>

#include "fuzz/FuzzInput.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

namespace {

struct Blob {
  bool ok = false;
  int length = 0;
  std::unique_ptr<unsigned char[]> bytes;
};

Blob Read(std::istream& in, bool light) {
  unsigned char* raw = nullptr;
  Blob blob;
  blob.ok = Crypto::DeserializeImpl(in, raw, blob.length, light);
  if (!blob.ok && raw != nullptr) zqfuzz::Fail("a failed read handed out an array");
  if (blob.ok && (raw == nullptr || blob.length < 0)) zqfuzz::Fail("a read blob has no array");
  blob.bytes.reset(raw);
  return blob;
}

bool Same(const Blob& a, const Blob& b) {
  return a.ok == b.ok && a.length == b.length &&
         (!a.ok ||
          std::memcmp(a.bytes.get(), b.bytes.get(), static_cast<std::size_t>(a.length)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const std::uint8_t forms = input.Byte();  // bit i: light flag of the i-th blob
  const zqfuzz::StreamChoice choice = input.Stream();
  const std::string bytes = input.Rest();
  zqtest::SourceStream plain(zqtest::StreamKind::kString, bytes, false);
  zqtest::SourceStream chosen(choice.kind, bytes, choice.exceptions);
  bool allRead = true;
  for (int i = 0; i < 8 && allRead; ++i) {
    const bool light = ((forms >> i) & 1) != 0;
    const Blob blob = Read(plain.Get(), light);
    if (!Same(blob, Read(chosen.Get(), light))) {
      zqfuzz::Fail("another kind of stream gives another blob");
    }
    allRead = blob.ok;
    if (!blob.ok || blob.length == 0) continue;
    std::ostringstream out;
    if (!Crypto::SerializeImpl(blob.bytes.get(), blob.length, out, light)) {
      zqfuzz::Fail("re-serialise failed");
    }
    std::istringstream again(out.str());
    if (!Same(blob, Read(again, light))) zqfuzz::Fail("blob does not read back to the same bytes");
  }
  // Where a refused blob leaves a stream that cannot seek is its own.
  if ((allRead || choice.kind != zqtest::StreamKind::kPipe) && plain.Rest() != chosen.Rest()) {
    zqfuzz::Fail("another kind of stream ends elsewhere");
  }
  return 0;
}
