// Every writer of containers is read by every reader, in both forms.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

namespace {

using Writer = std::function<std::string(const std::string& plain, bool light)>;
using Reader = std::function<std::optional<std::string>(const std::string& container, bool light)>;

zqtest::TempDir& Dir() {
  static zqtest::TempDir dir;
  return dir;
}

std::string WriteWithStream(const std::string& plain, bool light) {
  return zqtest::EncryptToString(plain, light);
}

std::string WriteWithFile(const std::string& plain, bool light) {
  zqtest::WriteFile(Dir().File("w.plain"), plain);
  if (!Crypto::FileEncrypt(Dir().File("w.plain").c_str(), Dir().File("w.box").c_str(), light)) {
    return "FileEncrypt failed";
  }
  return zqtest::ReadFile(Dir().File("w.box"));
}

std::string WriteWithBlob(const std::string& plain, bool light) {
  std::ostringstream out;
  Crypto::SerializeImpl(reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size()), out, light);
  return out.str();
}

std::optional<std::string> ReadWithStream(const std::string& container, bool light) {
  const auto read = zqtest::DecryptString(container, light);
  if (!read.ok) return std::nullopt;
  return read.plain;
}

std::optional<std::string> ReadWithFile(const std::string& container, bool light) {
  zqtest::WriteFile(Dir().File("r.box"), container);
  if (!Crypto::FileDecrypt(Dir().File("r.box").c_str(), Dir().File("r.plain").c_str(), light)) {
    return std::nullopt;
  }
  return zqtest::ReadFile(Dir().File("r.plain"));
}

std::optional<std::string> ReadWithChunks(const std::string& container, bool light) {
  std::istringstream in(container);
  int size = 0;
  bool ok = Crypto::DecryptStreamInit(in, size, light);
  std::string plain;
  char buffer[4096];
  while (ok) {
    int length = sizeof buffer;
    ok = Crypto::DecryptStreamChunk(in, buffer, length, light);
    if (ok) plain.append(buffer, static_cast<std::size_t>(length));
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  if (!ok) return std::nullopt;
  return plain;
}

std::optional<std::string> ReadWithBlob(const std::string& container, bool light) {
  std::istringstream in(container);
  unsigned char* blob = nullptr;
  int length = 0;
  if (!Crypto::DeserializeImpl(in, blob, length, light)) return std::nullopt;
  std::unique_ptr<unsigned char[]> owned(blob);
  return std::string(reinterpret_cast<const char*>(blob), static_cast<std::size_t>(length));
}

}  // namespace

TEST(ContainerInterchange, EveryWriterIsReadByEveryReader) {
  const std::pair<const char*, Writer> writers[] = {{"StreamEncrypt", WriteWithStream},
                                                    {"FileEncrypt", WriteWithFile},
                                                    {"SerializeImpl", WriteWithBlob}};
  const std::pair<const char*, Reader> readers[] = {{"StreamDecrypt", ReadWithStream},
                                                    {"FileDecrypt", ReadWithFile},
                                                    {"DecryptStreamChunk", ReadWithChunks},
                                                    {"DeserializeImpl", ReadWithBlob}};
  for (bool light : {false, true}) {
    for (std::size_t n : {1u, 100u, 4096u, 4100u, 40000u}) {
      const std::string plain = zqtest::Pattern(n, static_cast<unsigned>(n));
      for (const auto& [writerName, write] : writers) {
        const std::string container = write(plain, light);
        for (const auto& [readerName, read] : readers) {
          const auto back = read(container, light);
          ASSERT_TRUE(back.has_value())
              << writerName << " -> " << readerName << ", size " << n << ", light " << light;
          ASSERT_EQ(plain, *back) << writerName << " -> " << readerName << ", size " << n
                                  << ", light " << light;
        }
      }
    }
  }
}
