#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <sstream>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/FailingStreamBuf.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
using zqtest::Pattern;

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Serialize(const std::string& blob, bool light) {
  std::ostringstream out;
  if (!Crypto::SerializeImpl(Bytes(blob), static_cast<int>(blob.size()), out, light)) {
    throw std::runtime_error("SerializeImpl failed");
  }
  return out.str();
}

struct Read {
  bool ok;
  std::unique_ptr<unsigned char[]> blob;
  int length;
  bool blobTouched;
};

Read Deserialize(std::istream& in, bool light) {
  auto* const sentinel = reinterpret_cast<unsigned char*>(0x1);
  unsigned char* blob = sentinel;
  int length = -99;
  const bool ok = Crypto::DeserializeImpl(in, blob, length, light);
  const bool touched = blob != sentinel;
  return {ok, std::unique_ptr<unsigned char[]>(touched ? blob : nullptr), length, touched};
}

Read Deserialize(const std::string& bytes, bool light) {
  std::istringstream in(bytes);
  return Deserialize(in, light);
}

std::string AsString(const Read& read) {
  return std::string(reinterpret_cast<const char*>(read.blob.get()),
                     static_cast<std::size_t>(read.length));
}

}  // namespace

TEST(SerializedLengthImpl, IsTheFullFormContainerLength) {
  const std::pair<int, int> cases[] = {{0, 28},
                                       {1, 28},
                                       {7, 28},
                                       {8, 36},
                                       {100, 124},
                                       {1024, 1052},
                                       {INT_MAX - 24, INT_MAX - 3},
                                       {INT_MAX - 23, -1},
                                       {INT_MAX, -1}};
  for (const auto& [length, expected] : cases) {
    EXPECT_EQ(expected, Crypto::SerializedLengthImpl(length)) << length;
  }
  EXPECT_EQ(static_cast<int>(Serialize(Pattern(100), false).size()),
            Crypto::SerializedLengthImpl(100));
}

TEST(SerializeImpl, WritesOneContainerAndLeavesTheBlobAlone) {
  const std::string blob = Pattern(100);
  const std::string copy = blob;
  EXPECT_EQ(124u, Serialize(blob, false).size());
  const std::string light = Serialize(blob, true);
  EXPECT_EQ(112u, light.size());
  EXPECT_EQ(copy, blob);
  // The light container is exactly what StreamEncrypt writes.
  EXPECT_EQ(zqtest::EncryptToString(blob, true), light);
}

TEST(SerializeImpl, RefusesEmptyBlobsAndReportsShortWrites) {
  std::ostringstream out;
  EXPECT_FALSE(Crypto::SerializeImpl(Bytes("x"), 0, out, false));
  EXPECT_FALSE(Crypto::SerializeImpl(Bytes("x"), -3, out, true));
  EXPECT_FALSE(Crypto::SerializeImpl(nullptr, 5, out, false));
  EXPECT_EQ("", out.str());
  for (bool light : {false, true}) {
    const std::string blob = Pattern(3000);
    const std::size_t total = light ? 12 + 3000 : zqtest::FullLength(3000);
    for (std::size_t capacity : {0u, 11u, 19u, 20u, 1000u, 3010u}) {
      if (capacity >= total) continue;
      zqtest::FailingWriteBuf sink(capacity);
      std::ostream failing(&sink);
      EXPECT_FALSE(Crypto::SerializeImpl(Bytes(blob), 3000, failing, light)) << capacity;
    }
  }
}

TEST(DeserializeImpl, ReadsBlobsOfEverySizeInBothForms) {
  for (bool light : {false, true}) {
    for (std::size_t n : {1u, 7u, 8u, 100u, 1024u, 1025u, 16384u, 16385u, 100000u}) {
      const std::string blob = Pattern(n, static_cast<unsigned>(n));
      const Read read = Deserialize(Serialize(blob, light), light);
      ASSERT_TRUE(read.ok) << n;
      EXPECT_EQ(static_cast<int>(n), read.length);
      EXPECT_EQ(blob, AsString(read));
      if (light) {
        EXPECT_EQ(0, read.blob[n]) << "the extra last byte is zero";
      }
    }
  }
}

TEST(DeserializeImpl, ReadsBlobsBackToBack) {
  const std::string a = Pattern(100, 1);
  const std::string b = Pattern(33, 2);
  std::istringstream in(Serialize(a, false) + Serialize(b, true) + Serialize(a, false));
  EXPECT_EQ(a, AsString(Deserialize(in, false)));
  EXPECT_EQ(b, AsString(Deserialize(in, true)));
  EXPECT_EQ(a, AsString(Deserialize(in, false)));
  EXPECT_FALSE(Deserialize(in, false).ok) << "nothing left";
}

TEST(DeserializeImpl, RefusesDamagedHeadersWithoutTouchingTheBlob) {
  const std::string container = Serialize(Pattern(100), false);
  const Read wrongMagic = Deserialize("X" + container.substr(1), false);
  EXPECT_FALSE(wrongMagic.ok);
  EXPECT_FALSE(wrongMagic.blobTouched);
  EXPECT_EQ(0, wrongMagic.length);

  const Read noIv = Deserialize(container.substr(0, 15), false);
  EXPECT_FALSE(noIv.ok);
  EXPECT_FALSE(noIv.blobTouched);
  EXPECT_EQ(100, noIv.length);
}

// A cut ciphertext: false, the array released and `blob` null, the size field
// left in `length`.
TEST(DeserializeImpl, CutCiphertextReleasesTheArray) {
  const std::string container = Serialize(Pattern(100), false);
  const Read read = Deserialize(container.substr(0, container.size() - 3), false);
  EXPECT_FALSE(read.ok);
  EXPECT_TRUE(read.blobTouched);
  EXPECT_EQ(nullptr, read.blob.get());
  EXPECT_EQ(100, read.length);
}

// The container StreamEncrypt writes from a short input (size field 100, 50
// plain bytes) reads back as its 50 bytes.
TEST(DeserializeImpl, LengthIsWhatTheDecryptionYields) {
  const std::string plain = Pattern(50);
  std::istringstream in(plain);
  std::ostringstream out;
  Crypto::StreamEncrypt(in, 100, out, false);
  const Read read = Deserialize(out.str(), false);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(plain, AsString(read));
}

TEST(DeserializeImpl, HostileSizeFields) {
  const std::string body = Pattern(64);
  for (bool light : {false, true}) {
    for (std::int32_t size : {-1, -2, -16, INT_MIN, INT_MAX, INT_MAX - 7}) {
      const std::string header = "ZQCRYPTO" + zqtest::SizeBytes(size) + (light ? "" : "ivivivIV");
      const Read read = Deserialize(header + body, light);
      EXPECT_FALSE(read.ok) << size;
      EXPECT_FALSE(read.blobTouched) << size;
    }
  }
  // A light payload far shorter than its size field (more than 64 KiB short)
  // is hostile; one a little short reads back zero-filled (below).
  const Read light = Deserialize("ZQCRYPTO" + zqtest::SizeBytes((64 << 10) + 65) + body, true);
  EXPECT_FALSE(light.ok);
  EXPECT_FALSE(light.blobTouched);
  const Read lightSlightlyShort =
      Deserialize("ZQCRYPTO" + zqtest::SizeBytes(64 << 10) + body, true);
  EXPECT_TRUE(lightSlightlyShort.ok);
  EXPECT_EQ(64 << 10, lightSlightlyShort.length);

  // A huge size field in a short stream: the decryption fails as it would,
  // without an array sized from the field.
  const Read full =
      Deserialize("ZQCRYPTO" + zqtest::SizeBytes(INT_MAX - 8) + "ivivivIV" + body, false);
  EXPECT_FALSE(full.ok);
  EXPECT_EQ(INT_MAX - 8, full.length);
}

TEST(DeserializeImpl, ShortLightPayloadIsZeroFilled) {
  const std::string plain = Pattern(100);
  const std::string container = Serialize(plain, true).substr(0, 12 + 30);
  const Read read = Deserialize(container, true);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(100, read.length);
  EXPECT_EQ(plain.substr(0, 30), AsString(read).substr(0, 30));
  EXPECT_EQ(std::string(71, '\0'),
            std::string(reinterpret_cast<const char*>(read.blob.get()) + 30, 71));
}

TEST(DeserializeImpl, NeverThrowsOnStreamsWithExceptionsEnabled) {
  std::istringstream in(Serialize(Pattern(100), false).substr(0, 50));
  in.exceptions(std::ios::failbit | std::ios::badbit | std::ios::eofbit);
  unsigned char* blob = nullptr;
  int length = 0;
  bool ok = true;
  EXPECT_NO_THROW(ok = Crypto::DeserializeImpl(in, blob, length, false));
  EXPECT_FALSE(ok);
  delete[] blob;
}

TEST(DeserializeLightImpl, ReadsAPayloadWithoutHeader) {
  const std::string plain = Pattern(40);
  std::ostringstream out;
  Crypto::SerializeLightImpl(Bytes(plain), 40, out);
  std::istringstream in(out.str());
  unsigned char* blob = nullptr;
  Crypto::DeserializeLightImpl(in, blob, 40);
  std::unique_ptr<unsigned char[]> owned(blob);
  ASSERT_NE(nullptr, blob);
  EXPECT_EQ(plain, std::string(reinterpret_cast<char*>(blob), 40));
  EXPECT_EQ(0, blob[40]);

  unsigned char* negative = reinterpret_cast<unsigned char*>(0x1);
  Crypto::DeserializeLightImpl(in, negative, -5);
  EXPECT_EQ(nullptr, negative);
}
