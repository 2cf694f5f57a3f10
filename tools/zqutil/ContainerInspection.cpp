#include "tools/zqutil/ContainerInspection.h"

#include <cstdio>
#include <istream>
#include <streambuf>

#include "tools/zqutil/Hex.h"
#include "utils/crypto/Crypto.h"
#include "utils/file/File.h"
#include "utils/file/FileStream.h"

namespace zqutil {

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;

// Swallows what is written to it: decryption checks need no output.
class NullBuffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

// A container file opened for reading through the file layer: a regular
// file only, so that a FIFO or a device named in place of a file it already
// read once is not read again.
class ContainerFile {
 public:
  explicit ContainerFile(const std::string& path)
      : opened_(ZQ::RVL::Utils::internal::OpenForReading(path, {}, file_)),
        buffer_(file_.fd.Get()),
        stream_(opened_ ? &buffer_ : nullptr) {}

  bool Opened() const { return opened_; }
  std::uint64_t Size() const { return static_cast<std::uint64_t>(file_.info.st_size); }
  std::istream& Stream() { return stream_; }

 private:
  ZQ::RVL::Utils::internal::OpenedFile file_;
  bool opened_;
  ZQ::RVL::Utils::internal::FileStreamBuf buffer_;
  std::istream stream_;
};

bool Decrypts(const std::string& path, bool light) {
  ContainerFile in(path);
  NullBuffer sink;
  std::ostream out(&sink);
  return in.Opened() && Crypto::StreamDecrypt(in.Stream(), out, light);
}

}  // namespace

std::int64_t ContainerLength(std::int32_t size, bool light) {
  if (size < 0) return -1;
  return light ? 12 + static_cast<std::int64_t>(size)
               : 20 + (static_cast<std::int64_t>(size) + 8) / 8 * 8;
}

ContainerFacts InspectContainer(const std::string& path) {
  ContainerFacts facts;
  ContainerFile in(path);
  if (!in.Opened()) return facts;
  facts.actualLength = in.Size();
  unsigned char header[20] = {};
  in.Stream().read(reinterpret_cast<char*>(header), sizeof header);
  const auto got = static_cast<std::size_t>(in.Stream().gcount());
  facts.hasMagic = got >= 8 && std::string(reinterpret_cast<char*>(header), 8) == "ZQCRYPTO";
  if (!facts.hasMagic) return facts;
  if (got >= 12) {
    const std::uint32_t raw = header[8] | header[9] << 8 | header[10] << 16 |
                              static_cast<std::uint32_t>(header[11]) << 24;
    const auto size = static_cast<std::int32_t>(raw);
    facts.plainSize = size;
    facts.lightLength = ContainerLength(size, true);
    facts.fullLength = ContainerLength(size, false);
  }
  if (got >= 20) facts.ivHex = ToHex(header + 12, 8);
  // A container reads in a form only when the file ends where it ends.
  facts.readsAsFull = facts.fullLength >= 0 &&
                      facts.actualLength == static_cast<std::uint64_t>(facts.fullLength) &&
                      Decrypts(path, false);
  // A light container has no check of its own: it reads as light when the
  // file is exactly as long as its header says.
  facts.readsAsLight =
      facts.lightLength >= 0 && facts.actualLength == static_cast<std::uint64_t>(facts.lightLength);
  return facts;
}

std::optional<std::string> LengthMismatch(const std::string& path, bool light) {
  ContainerFile in(path);
  if (!in.Opened()) return std::nullopt;
  const auto actual = static_cast<std::int64_t>(in.Size());
  int size = 0;
  if (!Crypto::StreamPlainSize(in.Stream(), size, true)) return std::nullopt;
  if (size < 0) return path + " is damaged: its size field is negative";
  const std::int64_t lightLength = ContainerLength(size, true);
  const std::int64_t fullLength = ContainerLength(size, false);
  const std::int64_t expected = light ? lightLength : fullLength;
  if (actual == expected) return std::nullopt;
  if (!light && actual == lightLength) return path + " is in the light form: use --light";
  if (light && actual == fullLength) {
    // A light container followed by as many bytes as the full form adds is
    // as long as the full one: the length cannot tell them apart.
    return path + " is as long as a full-form container: drop --light (or " +
           std::to_string(fullLength - lightLength) + " bytes follow a light one)";
  }
  if (actual < expected) {
    return path + " is damaged: " + std::to_string(actual) + " bytes, its header says " +
           std::to_string(expected) + " (cut short)";
  }
  return path + ": " + std::to_string(actual - expected) +
         " bytes follow the container (another container, or other data)";
}

std::string ExplainFailure(const std::string& path, bool light) {
  const ContainerFacts facts = InspectContainer(path);
  if (!facts.hasMagic) return path + " is not a container (no ZQCRYPTO header)";
  if (!facts.plainSize) return path + " is damaged: its header is cut short";
  if (*facts.plainSize < 0) return path + " is damaged: its size field is negative";
  if (!light && facts.actualLength == static_cast<std::uint64_t>(facts.lightLength)) {
    return path + " is in the light form: use --light";
  }
  if (light && facts.readsAsFull) return path + " is in the full form: drop --light";
  if (!light && facts.actualLength < static_cast<std::uint64_t>(facts.fullLength)) {
    return path + " is damaged: " + std::to_string(facts.actualLength) +
           " bytes, the header says " + std::to_string(facts.fullLength);
  }
  return path + " is damaged or in the other form: the padding check at its end failed";
}

}  // namespace zqutil
