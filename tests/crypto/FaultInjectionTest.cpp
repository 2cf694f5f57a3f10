// Real I/O failure injected at every byte. A stream buffer that fails after N
// bytes is swept over every N across whole containers, for every writer and
// every reader: the result is false exactly when a byte was lost, and never
// true for a short write. The same holds for files cut off by the file size
// limit and for /dev/full.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/FailingStreamBuf.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
using zqtest::EncryptToString;
using zqtest::FailingReadBuf;
using zqtest::FailingWriteBuf;
using zqtest::Pattern;

namespace {

constexpr bool kForms[] = {false, true};

std::size_t HeaderLength(bool light) {
  return light ? 12 : 20;
}

// The byte counts at which to cut a stream of `total` bytes: every one for a
// container of one piece; for a container spanning several 16 KiB pieces,
// every one near the start, near each piece boundary and near the end, and
// every 37th in between (a full sweep there would take minutes under the
// sanitizers and valgrind).
std::vector<std::size_t> Cuts(std::size_t total, std::size_t header) {
  std::vector<std::size_t> cuts;
  constexpr std::size_t kPiece = 16384, kNear = 40;
  for (std::size_t n = 0; n <= total; ++n) {
    bool near = total <= kPiece || n < header + kNear || total - n < kNear;
    for (std::size_t boundary = header + kPiece; boundary < total; boundary += kPiece) {
      near = near || (n + kNear > boundary && n < boundary + kNear);
    }
    if (near || n % 37 == 0) cuts.push_back(n);
  }
  return cuts;
}

// The plain sizes swept: one piece with a partial last block, and more than
// one piece.
const std::vector<std::size_t> kSizes = {1000, 16384 + 300};

bool IsPrefixOf(const std::string& prefix, const std::string& whole) {
  return prefix.size() <= whole.size() && whole.compare(0, prefix.size(), prefix) == 0;
}

// Decrypts `in` through the chunked decryptor in chunks of 48 bytes (a
// multiple of the block of both forms); true when every call succeeded and the
// chunks add up to `plain` within as many calls as that takes.
bool ChunkedDecryptsTo(std::istream& in, bool light, const std::string& plain) {
  int size = 0;
  bool ok = Crypto::DecryptStreamInit(in, size, light);
  std::string got;
  char buffer[48];
  // A chunk that delivers nothing without the stream reaching its end would
  // spin the caller's loop for ever: bounded here so that it fails instead.
  for (std::size_t calls = 0; ok; ++calls) {
    if (calls > plain.size() / sizeof buffer + 4) return false;
    int length = sizeof buffer;
    ok = Crypto::DecryptStreamChunk(in, buffer, length, light);
    if (ok) got.append(buffer, static_cast<std::size_t>(length));
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  return ok && size == static_cast<int>(plain.size()) && got == plain;
}

}  // namespace

TEST(FaultInjection, WritersFailExactlyWhenAWriteFallsShort) {
  for (bool light : kForms) {
    for (std::size_t n : kSizes) {
      SCOPED_TRACE(std::string(light ? "light " : "full ") + std::to_string(n));
      const std::string plain = Pattern(n);
      const std::string reference = EncryptToString(plain, light);  // the light form has no IV
      const auto* blob = reinterpret_cast<const unsigned char*>(plain.data());
      for (std::size_t cut : Cuts(reference.size(), HeaderLength(light))) {
        const bool room = cut >= reference.size();
        {
          FailingWriteBuf sink(cut);
          std::ostream out(&sink);
          std::istringstream in(plain);
          EXPECT_EQ(room, Crypto::StreamEncrypt(in, static_cast<int>(n), out, light)) << cut;
          EXPECT_EQ(std::min(cut, reference.size()), sink.Written().size()) << cut;
          if (light) {
            EXPECT_TRUE(IsPrefixOf(sink.Written(), reference)) << cut;
          }
        }
        {
          FailingWriteBuf sink(cut);
          std::ostream out(&sink);
          EXPECT_EQ(room, Crypto::SerializeImpl(blob, static_cast<int>(n), out, light)) << cut;
          EXPECT_EQ(std::min(cut, reference.size()), sink.Written().size()) << cut;
        }
      }
      // The decryptor writes plain bytes: cut those.
      for (std::size_t cut : Cuts(n, 0)) {
        FailingWriteBuf sink(cut);
        std::ostream out(&sink);
        std::istringstream in(reference);
        EXPECT_EQ(cut >= n, Crypto::StreamDecrypt(in, out, light)) << cut;
        EXPECT_TRUE(IsPrefixOf(sink.Written(), plain)) << cut;
      }
    }
  }
}

TEST(FaultInjection, StreamEncryptFailsExactlyWhenItsInputFails) {
  for (bool light : kForms) {
    for (std::size_t n : kSizes) {
      SCOPED_TRACE(std::string(light ? "light " : "full ") + std::to_string(n));
      const std::string plain = Pattern(n);
      for (std::size_t cut : Cuts(n, 0)) {
        FailingReadBuf source(plain, cut);
        std::istream in(&source);
        std::ostringstream out;
        EXPECT_EQ(cut >= n, Crypto::StreamEncrypt(in, static_cast<int>(n), out, light)) << cut;
      }
    }
  }
}

TEST(FaultInjection, ReadersFailExactlyWhenAReadFails) {
  for (bool light : kForms) {
    for (std::size_t n : kSizes) {
      SCOPED_TRACE(std::string(light ? "light " : "full ") + std::to_string(n));
      const std::string plain = Pattern(n);
      const std::string container = EncryptToString(plain, light);
      for (std::size_t cut : Cuts(container.size(), HeaderLength(light))) {
        const bool whole = cut >= container.size();
        {
          FailingReadBuf source(container, cut);
          std::istream in(&source);
          std::ostringstream out;
          EXPECT_EQ(whole, Crypto::StreamDecrypt(in, out, light)) << cut;
          EXPECT_TRUE(IsPrefixOf(out.str(), plain)) << cut;
          if (whole) {
            EXPECT_EQ(plain, out.str());
          }
        }
        {
          FailingReadBuf source(container, cut);
          std::istream in(&source);
          EXPECT_EQ(whole, ChunkedDecryptsTo(in, light, plain)) << cut;
        }
        {
          FailingReadBuf source(container, cut);
          std::istream in(&source);
          unsigned char* raw = nullptr;
          int length = -1;
          const bool ok = Crypto::DeserializeImpl(in, raw, length, light);
          const std::unique_ptr<unsigned char[]> blob(ok ? raw : nullptr);
          EXPECT_EQ(whole, ok) << cut;
          if (!ok) {
            EXPECT_EQ(nullptr, raw) << "a failed read handed out an array, cut " << cut;
          }
          if (ok) {
            EXPECT_EQ(plain, std::string(reinterpret_cast<const char*>(raw),
                                         static_cast<std::size_t>(length)));
          }
        }
      }
    }
  }
}

// The stream writers on a file of /dev/full: a write beyond the stream's
// buffer fails inside the call; a smaller one fails at the caller's flush.
// Either way the caller learns of it.
TEST(FaultInjection, DevFullIsReportedToTheCaller) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  for (bool light : kForms) {
    for (std::size_t n : {std::size_t{100}, std::size_t{200000}}) {
      SCOPED_TRACE(std::string(light ? "light " : "full ") + std::to_string(n));
      const std::string plain = Pattern(n);
      const std::string container = EncryptToString(plain, light);
      const auto* blob = reinterpret_cast<const unsigned char*>(plain.data());
      const bool large = n > 100000;
      {
        std::ofstream out("/dev/full", std::ios::binary);
        std::istringstream in(plain);
        const bool ok = Crypto::StreamEncrypt(in, static_cast<int>(n), out, light);
        EXPECT_TRUE(!ok || !large);
        EXPECT_FALSE(ok && out.flush().good());
      }
      {
        std::ofstream out("/dev/full", std::ios::binary);
        const bool ok = Crypto::SerializeImpl(blob, static_cast<int>(n), out, light);
        EXPECT_TRUE(!ok || !large);
        EXPECT_FALSE(ok && out.flush().good());
      }
      {
        std::ofstream out("/dev/full", std::ios::binary);
        std::istringstream in(container);
        const bool ok = Crypto::StreamDecrypt(in, out, light);
        EXPECT_TRUE(!ok || !large);
        EXPECT_FALSE(ok && out.flush().good());
      }
    }
  }
}

// The file writers cut off by the file size limit (RLIMIT_FSIZE, with SIGXFSZ
// ignored, so a write beyond it fails with EFBIG as on a full disk), at every
// byte of the output. Runs in a child process so that the limit stays there.
TEST(FaultInjection, FileWritersFailExactlyWhenTheFileIsCutShort) {
  zqtest::TempDir dir;
  for (bool light : kForms) {
    SCOPED_TRACE(light ? "light" : "full");
    const std::string plain = Pattern(1000);
    const std::string container = EncryptToString(plain, light);
    zqtest::WriteFile(dir.File("plain"), plain);
    zqtest::WriteFile(dir.File("box"), container);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{};
      ::getrlimit(RLIMIT_FSIZE, &limit);
      const rlim_t unlimited = limit.rlim_cur;
      int wrong = 0;
      const auto check = [&](bool ok, std::size_t cut, std::size_t total, const char* what) {
        if (ok != (cut >= total)) {
          std::fprintf(stderr, "%s returned %d with the file cut at %zu of %zu bytes\n", what,
                       ok ? 1 : 0, cut, total);
          ++wrong;
        }
      };
      for (std::size_t cut = 0; cut <= container.size(); ++cut) {
        limit.rlim_cur = cut;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool encrypted =
            Crypto::FileEncrypt(dir.File("plain").c_str(), dir.File("out").c_str(), light);
        const bool decrypted =
            Crypto::FileDecrypt(dir.File("box").c_str(), dir.File("out").c_str(), light);
        limit.rlim_cur = unlimited;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        check(encrypted, cut, container.size(), "FileEncrypt");
        check(decrypted, cut, plain.size(), "FileDecrypt");
      }
      ::_exit(wrong == 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's messages";
  }
}
