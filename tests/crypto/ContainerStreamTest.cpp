#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <valgrind/valgrind.h>

#include <cstddef>
#include <functional>
#include <iterator>
#include <thread>

#include <climits>
#include <sstream>

#include "tests/config/ConfigTestUtil.h"
#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/FailingStreamBuf.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Constants.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace internal = ZQ::RVL::Utils::Crypto::internal;
using zqtest::DecryptString;
using zqtest::EncryptToString;
using zqtest::FullLength;
using zqtest::Pattern;

namespace {

// Sizes around the block (8), the light pattern (16) and the piece size.
const std::size_t kSizes[] = {
    0,    1,    7,    8,    9,     15,    16,    17,    100,      1000,
    1023, 1024, 1025, 2048, 16383, 16384, 16385, 65536, 1u << 20, (1u << 20) + 3};

}  // namespace

TEST(StreamEncrypt, FullFormLayoutAndRoundTrip) {
  for (std::size_t n : kSizes) {
    const std::string plain = Pattern(n, static_cast<unsigned>(n));
    const std::string container = EncryptToString(plain, false);
    ASSERT_EQ(FullLength(n), container.size()) << n;
    EXPECT_EQ("ZQCRYPTO", container.substr(0, 8));
    EXPECT_EQ(static_cast<std::int32_t>(n), zqtest::SizeField(container));
    const auto back = DecryptString(container, false);
    ASSERT_TRUE(back.ok) << n;
    ASSERT_EQ(plain, back.plain) << n;
  }
}

TEST(StreamEncrypt, LightFormIsTheScrambledPayload) {
  for (std::size_t n : kSizes) {
    const std::string plain = Pattern(n, static_cast<unsigned>(n) + 7);
    const std::string container = EncryptToString(plain, true);
    ASSERT_EQ(12 + n, container.size()) << n;
    EXPECT_EQ("ZQCRYPTO", container.substr(0, 8));
    EXPECT_EQ(static_cast<std::int32_t>(n), zqtest::SizeField(container));
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(static_cast<char>(plain[i] ^ internal::gcGlobalLightCryptoKey[i % 16]),
                container[12 + i])
          << "size " << n << " byte " << i;
    }
    const auto back = DecryptString(container, true);
    ASSERT_TRUE(back.ok);
    ASSERT_EQ(plain, back.plain);
  }
}

TEST(StreamEncrypt, SizeFieldIsLittleEndian) {
  const std::string container = EncryptToString(Pattern(1000), false);
  EXPECT_EQ(std::string("\xE8\x03\x00\x00", 4), container.substr(8, 4));
}

TEST(StreamEncrypt, EmptyInputGivesHeaderAndOnePaddingBlock) {
  const std::string full = EncryptToString("", false);
  EXPECT_EQ(28u, full.size());
  const auto back = DecryptString(full, false);
  EXPECT_TRUE(back.ok);
  EXPECT_EQ("", back.plain);
  EXPECT_EQ(12u, EncryptToString("", true).size());
}

TEST(StreamEncrypt, EveryContainerHasAFreshIv) {
  const std::string plain = Pattern(64);
  const std::string a = EncryptToString(plain, false);
  const std::string b = EncryptToString(plain, false);
  EXPECT_NE(a.substr(12, 8), b.substr(12, 8));
  EXPECT_NE(a.substr(20), b.substr(20));
  EXPECT_EQ(plain, DecryptString(a, false).plain);
  EXPECT_EQ(plain, DecryptString(b, false).plain);
}

TEST(StreamEncrypt, TakesOnlySizeBytesFromALongerInput) {
  std::istringstream in("0123456789abcdef");
  std::ostringstream out;
  ASSERT_TRUE(Crypto::StreamEncrypt(in, 10, out, false));
  EXPECT_EQ(FullLength(10), out.str().size());
  std::string rest;
  in >> rest;
  EXPECT_EQ("abcdef", rest);
}

// A short input still yields the container the header describes (size field
// 100, 50 plain bytes, 56 cipher bytes), but the call reports the shortfall.
TEST(StreamEncrypt, ShortInputWritesTheContainerAndReturnsFalse) {
  for (bool light : {false, true}) {
    const std::string plain = Pattern(50);
    std::istringstream in(plain);
    std::ostringstream out;
    EXPECT_FALSE(Crypto::StreamEncrypt(in, 100, out, light));
    const std::string container = out.str();
    EXPECT_EQ(100, zqtest::SizeField(container));
    EXPECT_EQ(light ? 12u + 50u : 20u + 56u, container.size());
    const auto back = DecryptString(container, light);
    EXPECT_TRUE(back.ok);
    EXPECT_EQ(plain, back.plain);
  }
}

TEST(StreamEncrypt, RefusesNegativeSizesAndBadStreams) {
  for (bool light : {false, true}) {
    std::istringstream in("data");
    std::ostringstream out;
    EXPECT_FALSE(Crypto::StreamEncrypt(in, -1, out, light));
    EXPECT_FALSE(Crypto::StreamEncrypt(in, INT_MIN, out, light));
    EXPECT_EQ("", out.str());

    std::istringstream atEnd("");
    atEnd.get();  // sets eof and fail
    EXPECT_FALSE(Crypto::StreamEncrypt(atEnd, 0, out, light));
    std::ostringstream badOut;
    badOut.setstate(std::ios::badbit);
    std::istringstream good("data");
    EXPECT_FALSE(Crypto::StreamEncrypt(good, 4, badOut, light));
    EXPECT_EQ("", out.str());
    EXPECT_EQ('d', good.peek()) << "nothing may be read";
  }
}

// Whatever byte a full disk stops at, the writer says so; with room for the
// whole container it succeeds. The bytes that made it stay in place.
TEST(StreamEncrypt, ReportsEveryShortWrite) {
  for (bool light : {false, true}) {
    const std::string plain = Pattern(2100);
    const std::size_t total = light ? 12 + plain.size() : FullLength(plain.size());
    for (std::size_t capacity = 0; capacity <= total; capacity += (capacity < 40 ? 1 : 97)) {
      zqtest::FailingWriteBuf sink(capacity);
      std::ostream out(&sink);
      std::istringstream in(plain);
      const bool ok = Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), out, light);
      EXPECT_EQ(capacity >= total, ok) << "capacity " << capacity;
      EXPECT_EQ(std::min(capacity, sink.Written().size()), sink.Written().size());
    }
    zqtest::FailingWriteBuf exact(total);
    std::ostream out(&exact);
    std::istringstream in(plain);
    EXPECT_TRUE(Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), out, light));
  }
}

TEST(StreamEncrypt, ReportsAReadErrorFromItsInput) {
  for (bool light : {false, true}) {
    const std::string plain = Pattern(3000);
    for (std::size_t limit : {0u, 1u, 1024u, 2999u}) {
      zqtest::FailingReadBuf source(plain, limit);
      std::istream in(&source);
      std::ostringstream out;
      EXPECT_FALSE(Crypto::StreamEncrypt(in, 3000, out, light)) << limit;
    }
  }
}

TEST(StreamDecrypt, ReportsEveryShortWrite) {
  for (bool light : {false, true}) {
    const std::string plain = Pattern(2100);
    const std::string container = EncryptToString(plain, light);
    for (std::size_t capacity = 0; capacity <= plain.size(); capacity += 53) {
      zqtest::FailingWriteBuf sink(capacity);
      std::ostream out(&sink);
      std::istringstream in(container);
      EXPECT_FALSE(Crypto::StreamDecrypt(in, out, light)) << capacity;
      EXPECT_EQ(plain.substr(0, sink.Written().size()), sink.Written());
    }
    zqtest::FailingWriteBuf exact(plain.size());
    std::ostream out(&exact);
    std::istringstream in(container);
    EXPECT_TRUE(Crypto::StreamDecrypt(in, out, light));
  }
}

TEST(StreamDecrypt, StopsAtTheEndOfEachContainer) {
  const std::string a = Pattern(1000, 1);
  const std::string b = Pattern(17, 2);
  std::istringstream in(EncryptToString(a, false) + EncryptToString(b, true) +
                        EncryptToString("", false) + "trailer");
  std::ostringstream outA;
  std::ostringstream outB;
  std::ostringstream outC;
  ASSERT_TRUE(Crypto::StreamDecrypt(in, outA, false));
  ASSERT_TRUE(Crypto::StreamDecrypt(in, outB, true));
  ASSERT_TRUE(Crypto::StreamDecrypt(in, outC, false));
  EXPECT_EQ(a, outA.str());
  EXPECT_EQ(b, outB.str());
  EXPECT_EQ("", outC.str());
  EXPECT_TRUE(in.good());
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ("trailer", rest);
}

TEST(StreamDecrypt, WrongLightFlag) {
  // A full container read as light: the size-field count of bytes after the
  // size field (IV and ciphertext), descrambled.
  const std::string full = EncryptToString(Pattern(30), false);
  const auto asLight = DecryptString(full, true);
  ASSERT_TRUE(asLight.ok);
  std::string expected = full.substr(12, 30);
  Crypto::EncryptDecryptLight(expected.data(), 30);
  EXPECT_EQ(expected, asLight.plain);

  // A light container with fewer than 8 payload bytes has no room for an IV.
  const auto asFull = DecryptString(EncryptToString("tiny", true), false);
  EXPECT_FALSE(asFull.ok);
  EXPECT_EQ("", asFull.plain);
}

// A ciphertext cut short of a multiple of 8 fails the final check; the plain
// bytes of every complete block are already out.
TEST(StreamDecrypt, CutCiphertext) {
  const std::string plain = Pattern(100);
  const std::string container = EncryptToString(plain, false);  // 104 cipher bytes
  for (std::size_t cipherBytes : {0u, 1u, 8u, 13u, 96u, 99u, 103u}) {
    const auto back = DecryptString(container.substr(0, 20 + cipherBytes), false);
    EXPECT_FALSE(back.ok) << cipherBytes;
    const std::size_t complete = cipherBytes / 8 * 8;
    // The block that might be the last one is held back until the end is known.
    const std::size_t delivered = cipherBytes % 8 == 0 && complete > 0 ? complete - 8 : complete;
    EXPECT_EQ(plain.substr(0, delivered), back.plain) << cipherBytes;
  }
}

// A light payload cut short is delivered as far as it goes.
TEST(StreamDecrypt, CutLightPayloadReadsBackAsTrue) {
  const std::string plain = Pattern(100);
  const auto back = DecryptString(EncryptToString(plain, true).substr(0, 12 + 41), true);
  EXPECT_TRUE(back.ok);
  EXPECT_EQ(plain.substr(0, 41), back.plain);
}

TEST(StreamDecrypt, RefusesDamagedHeaders) {
  for (bool light : {false, true}) {
    const std::string container = EncryptToString(Pattern(40), light);
    std::string altered = container;
    altered[0] = 'X';
    const auto back = DecryptString(altered, light);
    EXPECT_FALSE(back.ok);
    EXPECT_EQ("", back.plain);
    // Cut inside the header.
    const std::size_t header = light ? 12 : 20;
    for (std::size_t cut = 0; cut < header; ++cut) {
      const auto partial = DecryptString(container.substr(0, cut), light);
      EXPECT_FALSE(partial.ok) << cut;
      EXPECT_EQ("", partial.plain);
    }
  }
}

// Size fields a writer would never produce: negative or far beyond the data.
// Nothing is allocated from them and the reading is bounded by the stream.
TEST(StreamDecrypt, HostileSizeFields) {
  for (std::int32_t size : {-1, -8, -9, -16, INT_MIN, INT_MAX - 7, INT_MAX}) {
    const std::string body = Pattern(64);
    const std::string full = "ZQCRYPTO" + zqtest::SizeBytes(size) + Pattern(8) + body;
    EXPECT_FALSE(DecryptString(full, false).ok) << size;

    const auto light = DecryptString("ZQCRYPTO" + zqtest::SizeBytes(size) + body, true);
    EXPECT_EQ(size >= 0, light.ok) << size;
    EXPECT_EQ(size < 0 ? 0u : body.size(), light.plain.size()) << size;
  }
}

// No writer makes a negative size field: every reader of a header, in both
// forms, refuses one (and the chunked decryption delivers nothing from it).
TEST(ContainerReaders, EveryReaderRefusesANegativeSizeField) {
  const zqtest::TempDir dir;
  using Reader = std::function<bool(const std::string&, bool)>;
  const std::pair<const char*, Reader> readers[] = {
      {"StreamPlainSize",
       [](const std::string& c, bool light) {
         std::istringstream in(c);
         int size = 0;
         return Crypto::StreamPlainSize(in, size, light);
       }},
      {"FilePlainSize",
       [&](const std::string& c, bool light) {
         zqtest::WriteFile(dir.File("c"), c);
         int size = 0;
         return Crypto::FilePlainSize(dir.File("c").c_str(), size, light);
       }},
      {"StreamDecrypt",
       [](const std::string& c, bool light) { return DecryptString(c, light).ok; }},
      {"DecryptStreamInit",
       [](const std::string& c, bool light) {
         std::istringstream in(c);
         int size = 0;
         const bool opened = Crypto::DecryptStreamInit(in, size, light);
         Crypto::DecryptStreamDeinit();
         return opened;
       }},
      {"DeserializeImpl",
       [](const std::string& c, bool light) {
         std::istringstream in(c);
         unsigned char* blob = nullptr;
         int length = 0;
         const bool read = Crypto::DeserializeImpl(in, blob, length, light);
         delete[] blob;
         return read;
       }},
  };
  for (const auto& [name, read] : readers) {
    for (bool light : {false, true}) {
      for (std::int32_t size : {-1, -8, INT_MIN}) {
        const std::string container =
            "ZQCRYPTO" + zqtest::SizeBytes(size) + (light ? "" : Pattern(8)) + Pattern(64);
        EXPECT_FALSE(read(container, light)) << name << (light ? " light " : " full ") << size;
      }
      EXPECT_TRUE(read(EncryptToString(Pattern(64), light), light)) << name << " sound";
    }
  }
}

TEST(StreamDecrypt, RefusesStreamsInErrorAndNeverThrows) {
  const std::string container = EncryptToString("payload", false);
  std::istringstream in(container);
  std::ostringstream bad;
  bad.setstate(std::ios::failbit);
  EXPECT_FALSE(Crypto::StreamDecrypt(in, bad, false));
  EXPECT_EQ(0, in.tellg()) << "nothing may be read";

  // A caller's stream with exceptions enabled still gets a plain false.
  std::istringstream throwing(container.substr(0, 25));
  throwing.exceptions(std::ios::failbit | std::ios::badbit | std::ios::eofbit);
  std::ostringstream out;
  bool ok = true;
  EXPECT_NO_THROW(ok = Crypto::StreamDecrypt(throwing, out, false));
  EXPECT_FALSE(ok);
}

TEST(StreamPlainSize, ReadsTheHeaderAndStopsAtThePayload) {
  for (bool light : {false, true}) {
    std::istringstream in(EncryptToString(Pattern(777), light));
    int size = -5;
    ASSERT_TRUE(Crypto::StreamPlainSize(in, size, light));
    EXPECT_EQ(777, size);
    EXPECT_EQ(light ? 12 : 20, in.tellg());
  }
}

TEST(StreamPlainSize, FailureLeavesSizeAsTheHeaderAllows) {
  const std::string container = EncryptToString(Pattern(300), false);
  int size = -5;
  std::istringstream wrongMagic("NOTMAGIC" + container.substr(8));
  EXPECT_FALSE(Crypto::StreamPlainSize(wrongMagic, size, false));
  EXPECT_EQ(0, size);
  EXPECT_EQ(8, wrongMagic.tellg());

  size = -5;
  std::istringstream inSizeField(container.substr(0, 10));
  EXPECT_FALSE(Crypto::StreamPlainSize(inSizeField, size, false));
  EXPECT_EQ(0, size);

  size = -5;
  std::istringstream inIv(container.substr(0, 15));
  EXPECT_FALSE(Crypto::StreamPlainSize(inIv, size, false));
  EXPECT_EQ(300, size);
}

TEST(StreamEncryptDecryptLight, CopiesUpToSizeBytesBothWays) {
  const std::string plain = Pattern(2500);
  std::istringstream in(plain);
  std::ostringstream scrambled;
  Crypto::StreamEncryptDecryptLight(in, 2049, scrambled);
  ASSERT_EQ(2049u, scrambled.str().size());
  std::istringstream back(scrambled.str());
  std::ostringstream restored;
  Crypto::StreamEncryptDecryptLight(back, 100000, restored);  // runs dry early
  EXPECT_EQ(plain.substr(0, 2049), restored.str());
}

namespace {

// Makes getrandom fail with EPERM, and every kind of open too (so the
// fallback to /dev/urandom fails), for the calling thread and the threads it
// starts.
bool DenyRandomness() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

// A random source that fails: the writers of the full form fail having
// written nothing, so a stream of containers is never left a header without
// its container.
TEST(ContainerWriters, FailingRandomSourceWritesNothing) {
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind's own opens would meet the filter";
  EXPECT_EQ(0, zqtest::RunInChild([] {
              EncryptToString("warm up OpenSSL", false);  // its providers are opened now
              if (!DenyRandomness()) return false;
              bool nothing = false;
              std::thread fresh([&] {  // a thread of its own: no IVs drawn yet
                const unsigned char blob[4] = {1, 2, 3, 4};
                std::istringstream in("four");
                std::ostringstream stream, blobStream;
                const bool encrypted = Crypto::StreamEncrypt(in, 4, stream, false);
                const bool serialized = Crypto::SerializeImpl(blob, 4, blobStream, false);
                nothing =
                    !encrypted && stream.str().empty() && !serialized && blobStream.str().empty();
              });
              fresh.join();
              return nothing;
            }));
}
