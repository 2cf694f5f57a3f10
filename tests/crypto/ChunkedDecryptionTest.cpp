#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/FailingStreamBuf.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
using zqtest::EncryptToString;
using zqtest::Pattern;

namespace {

struct Chunk {
  bool ok;
  std::string bytes;
};

// One DecryptStreamChunk call with a buffer of `capacity` bytes.
Chunk NextChunk(std::istream& in, int capacity, bool light) {
  std::vector<char> buffer(static_cast<std::size_t>(capacity) + 16, '\x5a');
  int length = capacity;
  const bool ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, light);
  return {ok, std::string(buffer.data(), static_cast<std::size_t>(ok ? length : 0))};
}

// Decrypts a whole container with the documented loop; returns the plain bytes
// or nothing when a call failed.
std::optional<std::string> DecryptChunked(const std::string& container, int capacity, bool light) {
  std::istringstream in(container);
  int size = 0;
  bool ok = Crypto::DecryptStreamInit(in, size, light);
  std::string plain;
  while (ok) {
    const Chunk chunk = NextChunk(in, capacity, light);
    ok = chunk.ok;
    plain += chunk.bytes;
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  if (!ok) return std::nullopt;
  return plain;
}

class ChunkedDecryption : public ::testing::Test {
 protected:
  void TearDown() override { Crypto::DecryptStreamDeinit(); }
};

}  // namespace

// 100 plain bytes are 104 cipher bytes: with 64-byte chunks the first call
// keeps the last block back, the second meets the end and delivers the rest.
TEST_F(ChunkedDecryption, FullFormKeepsTheLastBlockUntilTheEnd) {
  const std::string plain = Pattern(100);
  std::istringstream in(EncryptToString(plain, false));
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, false));
  EXPECT_EQ(100, size);
  const Chunk first = NextChunk(in, 64, false);
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(plain.substr(0, 56), first.bytes);
  const Chunk second = NextChunk(in, 64, false);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(plain.substr(56), second.bytes);
  EXPECT_FALSE(NextChunk(in, 64, false).ok) << "a call after the end fails";
  EXPECT_FALSE(NextChunk(in, 64, false).ok);
}

TEST_F(ChunkedDecryption, OneLargeChunkDeliversEverything) {
  const std::string plain = Pattern(100);
  std::istringstream in(EncryptToString(plain, false));
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, false));
  const Chunk only = NextChunk(in, 128, false);
  EXPECT_TRUE(only.ok);
  EXPECT_EQ(plain, only.bytes);
}

TEST_F(ChunkedDecryption, LightFormDeliversWhatItReads) {
  const std::string plain = Pattern(100);
  std::istringstream in(EncryptToString(plain, true));
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, true));
  EXPECT_EQ(plain.substr(0, 64), NextChunk(in, 64, true).bytes);
  EXPECT_EQ(plain.substr(64), NextChunk(in, 64, true).bytes);
  const Chunk end = NextChunk(in, 64, true);
  EXPECT_TRUE(end.ok);
  EXPECT_EQ("", end.bytes);
}

// When the ciphertext ends exactly at a chunk boundary no read comes up short;
// the read that yields nothing at the end finishes the decryption and the
// last block is still delivered.
TEST_F(ChunkedDecryption, ExactChunkBoundaryLosesNoByte) {
  const std::string plain = Pattern(100);  // 104 cipher bytes = 13 chunks of 8
  for (int capacity : {8, 104, 52 * 2}) {
    std::istringstream in(EncryptToString(plain, false));
    int size = 0;
    ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, false));
    std::string got;
    for (int i = 0; i < 104 / capacity; ++i) {
      const Chunk chunk = NextChunk(in, capacity, false);
      ASSERT_TRUE(chunk.ok);
      got += chunk.bytes;
    }
    EXPECT_EQ(plain.substr(0, 96), got) << capacity;
    const Chunk tail = NextChunk(in, capacity, false);
    EXPECT_TRUE(tail.ok);
    EXPECT_EQ(plain.substr(96), tail.bytes);
    EXPECT_FALSE(NextChunk(in, capacity, false).ok);
    Crypto::DecryptStreamDeinit();
  }
}

TEST_F(ChunkedDecryption, RefusesChunksWhenNotOpen) {
  const std::string container = EncryptToString(Pattern(40), false);
  std::istringstream in(container);
  in.seekg(20);
  // Before any Init, and after a Deinit: no cipher to reach.
  Crypto::DecryptStreamDeinit();
  EXPECT_FALSE(NextChunk(in, 64, false).ok);
  EXPECT_EQ(20, in.tellg()) << "a closed decryption reads nothing";

  int size = 0;
  std::istringstream again(container);
  ASSERT_TRUE(Crypto::DecryptStreamInit(again, size, false));
  Crypto::DecryptStreamDeinit();
  Crypto::DecryptStreamDeinit();  // twice does no harm
  EXPECT_FALSE(NextChunk(again, 64, false).ok);
}

TEST_F(ChunkedDecryption, RefusesChunkLengthsOutsideTheContract) {
  const std::string plain = Pattern(100);
  for (bool light : {false, true}) {
    std::istringstream in(EncryptToString(plain, light));
    int size = 0;
    ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, light));
    const std::streampos before = in.tellg();
    for (int bad : {0, -8, -16, 12, light ? 24 : 9}) {
      char buffer[64] = {'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd'};
      int length = bad;
      EXPECT_FALSE(Crypto::DecryptStreamChunk(in, buffer, length, light)) << bad;
      EXPECT_EQ(bad, length);
      EXPECT_EQ(std::string("untouched"), std::string(buffer, 9));
    }
    int length = 16;
    EXPECT_FALSE(Crypto::DecryptStreamChunk(in, nullptr, length, light));
    EXPECT_EQ(before, in.tellg()) << "refused calls read nothing";
    // The decryption is still open and complete.
    EXPECT_EQ(plain.substr(0, light ? 64 : 56), NextChunk(in, 64, light).bytes);
  }
}

TEST_F(ChunkedDecryption, WrongMagicKeepsTheCallersSize) {
  std::istringstream in("NOTMAGIC and then some bytes");
  int size = 77;
  EXPECT_FALSE(Crypto::DecryptStreamInit(in, size, false));
  EXPECT_EQ(77, size);
  Crypto::DecryptStreamDeinit();
}

// A cut ciphertext fails at the final check; the bytes delivered by that call
// before the check stay, and the decryption is closed.
TEST_F(ChunkedDecryption, CutCiphertextFailsAtTheEnd) {
  const std::string plain = Pattern(100);
  const std::string container = EncryptToString(plain, false).substr(0, 20 + 99);
  std::istringstream in(container);
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, false));
  EXPECT_EQ(plain.substr(0, 56), NextChunk(in, 64, false).bytes);
  std::vector<char> buffer(64);
  int length = 64;
  EXPECT_FALSE(Crypto::DecryptStreamChunk(in, buffer.data(), length, false));
  EXPECT_EQ(40, length) << "the complete blocks read before the check";
  EXPECT_EQ(plain.substr(56, 40), std::string(buffer.data(), 40));
  EXPECT_FALSE(NextChunk(in, 64, false).ok) << "closed after the failure";
}

TEST_F(ChunkedDecryption, ReadErrorClosesWithAZeroedBuffer) {
  const std::string container = EncryptToString(Pattern(300), false);
  zqtest::FailingReadBuf source(container, 20 + 100);
  std::istream in(&source);
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(in, size, false));
  EXPECT_TRUE(NextChunk(in, 64, false).ok);
  std::vector<char> buffer(64, 'x');
  int length = 64;
  EXPECT_FALSE(Crypto::DecryptStreamChunk(in, buffer.data(), length, false));
  EXPECT_EQ(64, length);
  EXPECT_EQ(std::string(64, '\0'), std::string(buffer.data(), 64));
}

// Init on an open decryption starts afresh (and releases the old context; the
// sanitizer build checks the release).
TEST_F(ChunkedDecryption, InitWithoutDeinitStartsAfresh) {
  const std::string first = Pattern(500, 1);
  const std::string second = Pattern(300, 2);
  std::istringstream a(EncryptToString(first, false));
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(a, size, false));
  NextChunk(a, 64, false);
  EXPECT_EQ(second, DecryptChunked(EncryptToString(second, false), 64, false).value_or("failed"));
}

// A program may end with a decryption still open (no Deinit): it must exit
// cleanly, not crash freeing the context after OpenSSL's state is gone.
TEST_F(ChunkedDecryption, ExitWithAnOpenDecryptionIsClean) {
  const std::string container = EncryptToString(Pattern(300), false);
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    std::istringstream in(container);
    int size = 0;
    Crypto::DecryptStreamInit(in, size, false);
    NextChunk(in, 64, false);
    std::exit(0);  // runs every exit handler and static destructor
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Any size, any chunk length: the chunks add up to the plain bytes.
TEST_F(ChunkedDecryption, RandomSizesAndChunkLengths) {
  std::mt19937 random(4242);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = random() % 5001;
    const int capacity = 16 * static_cast<int>(1 + random() % 300);
    const bool light = trial % 3 == 0;
    const std::string plain = Pattern(n, static_cast<unsigned>(trial));
    const auto got = DecryptChunked(EncryptToString(plain, light), capacity, light);
    ASSERT_TRUE(got.has_value()) << "size " << n << " chunk " << capacity;
    ASSERT_EQ(plain, *got) << "size " << n << " chunk " << capacity;
  }
}

TEST(StreamEncryptDecryptChunkLight, DescramblesEachChunkFromItsFirstByte) {
  const std::string plain = Pattern(40);
  std::string scrambled = plain;
  Crypto::EncryptDecryptLight(scrambled.data(), 16);
  Crypto::EncryptDecryptLight(scrambled.data() + 16, 24);
  std::istringstream in(scrambled);
  char buffer[32];
  int length = 16;
  Crypto::StreamEncryptDecryptChunkLight(in, buffer, length);
  EXPECT_EQ(plain.substr(0, 16), std::string(buffer, 16));
  length = 32;
  Crypto::StreamEncryptDecryptChunkLight(in, buffer, length);
  EXPECT_EQ(24, length);
  EXPECT_EQ(plain.substr(16), std::string(buffer, 24));
  length = -4;
  Crypto::StreamEncryptDecryptChunkLight(in, buffer, length);
  EXPECT_EQ(0, length);
}

// A decryption replaced by another thread's Init: its next chunk is refused
// rather than decrypted with the other container's cipher, and its Deinit
// leaves the other's open; a thread that opened none goes on with the one
// open (a decryption handed to it).
TEST_F(ChunkedDecryption, AThreadWhoseDecryptionWasReplacedIsRefused) {
  const std::string first(64, 'a'), second(64, 'b');
  std::istringstream firstIn(EncryptToString(first, false)),
      secondIn(EncryptToString(second, false));
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(firstIn, size, false));
  std::thread([&] {
    int otherSize = 0;
    ASSERT_TRUE(Crypto::DecryptStreamInit(secondIn, otherSize, false));
  }).join();
  char buffer[128] = {};
  int length = sizeof buffer;
  EXPECT_FALSE(Crypto::DecryptStreamChunk(firstIn, buffer, length, false));
  EXPECT_EQ(static_cast<int>(sizeof buffer), length) << "changes nothing";
  Crypto::DecryptStreamDeinit();  // not this thread's decryption any more
  std::string out;
  std::thread([&] {
    // A thread that opened none takes the open decryption over.
    int chunk = sizeof buffer;
    while (Crypto::DecryptStreamChunk(secondIn, buffer, chunk, false)) {
      out.append(buffer, static_cast<std::size_t>(chunk));
      if (secondIn.eof()) break;
      chunk = sizeof buffer;
    }
    Crypto::DecryptStreamDeinit();
  }).join();
  EXPECT_EQ(second, out);
}
