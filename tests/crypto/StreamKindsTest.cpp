// Every reader over every kind of stream a caller may have: a seekable string
// stream, a buffer that cannot seek, a file stream, each with and without
// exceptions(). Whatever the input, each gives the plain string stream's
// result, bytes and position, leaves the OpenSSL error queue as it found it,
// allocates no more than the stream delivers plus 64 KiB, and lets a caller's
// own exception through untouched.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <pthread.h>
#include <unistd.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/StreamKinds.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
using zqtest::EncryptToString;
using zqtest::Pattern;
using zqtest::SizeBytes;
using zqtest::SourceStream;
using zqtest::StreamKind;

// The largest array the library asked for (it allocates with nothrow new[]).
std::atomic<std::size_t> gLargestArray{0};

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  std::size_t seen = gLargestArray.load();
  while (size > seen && !gLargestArray.compare_exchange_weak(seen, size)) {
  }
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

struct Outcome {
  bool ok = false;
  long long number = 0;  // the size or length the call reports
  std::string bytes;     // what it delivered (chunks: "length|" before each)
  std::string rest;      // what the stream holds behind it
  std::ios::iostate state = std::ios::goodbit;
  std::ios::iostate mask = std::ios::goodbit;  // the caller's exceptions() afterwards
  bool queueAsFound = false;                   // the thread's OpenSSL error queue
};

std::string Describe(const Outcome& o) {
  return (o.ok ? "true " : "false ") + std::to_string(o.number) + " bytes " +
         std::to_string(o.bytes.size()) + " rest " + std::to_string(o.rest.size());
}

using Reader = Outcome (*)(std::istream& in, bool light);

Outcome Decrypt(std::istream& in, bool light) {
  std::ostringstream out;
  Outcome o;
  o.ok = Crypto::StreamDecrypt(in, out, light);
  o.bytes = out.str();
  return o;
}

Outcome Deserialize(std::istream& in, bool light) {
  unsigned char* raw = nullptr;
  int length = -1;
  Outcome o;
  o.ok = Crypto::DeserializeImpl(in, raw, length, light);
  const std::unique_ptr<unsigned char[]> blob(raw);
  o.number = length;
  if (raw != nullptr)
    o.bytes.assign(reinterpret_cast<char*>(raw), static_cast<std::size_t>(length));
  return o;
}

Outcome Chunks(std::istream& in, bool light) {
  int size = -1;
  Outcome o;
  o.ok = Crypto::DecryptStreamInit(in, size, light);
  o.number = size;
  for (int calls = 0; o.ok && calls < 8; ++calls) {
    char buffer[64];
    int length = sizeof buffer;
    o.ok = Crypto::DecryptStreamChunk(in, buffer, length, light);
    o.bytes += std::to_string(length) + "|" + std::string(buffer, o.ok ? length : 0);
  }
  Crypto::DecryptStreamDeinit();
  return o;
}

Outcome PlainSize(std::istream& in, bool light) {
  int size = -1;
  Outcome o;
  o.ok = Crypto::StreamPlainSize(in, size, light);
  o.number = size;
  return o;
}

Outcome LightPayload(std::istream& in, bool) {
  unsigned char* raw = nullptr;
  Crypto::DeserializeLightImpl(in, raw, 300);
  const std::unique_ptr<unsigned char[]> blob(raw);
  Outcome o;
  o.ok = raw != nullptr;
  if (raw != nullptr) o.bytes.assign(reinterpret_cast<char*>(raw), 301);
  return o;
}

// StreamEncrypt reads its input too: 300 bytes of whatever the input holds.
// The full form's IV is fresh, so only its length is compared.
Outcome Encrypt(std::istream& in, bool light) {
  std::ostringstream out;
  Outcome o;
  o.ok = Crypto::StreamEncrypt(in, 300, out, light);
  o.number = static_cast<long long>(out.str().size());
  if (light) o.bytes = out.str();
  return o;
}

const struct {
  const char* name;
  Reader read;
} kReaders[] = {{"StreamEncrypt", Encrypt},       {"StreamDecrypt", Decrypt},
                {"DeserializeImpl", Deserialize}, {"chunks of 64", Chunks},
                {"StreamPlainSize", PlainSize},   {"DeserializeLightImpl", LightPayload}};

// Whole containers around the piece and block boundaries, followed by other
// data, cut short, cut to the header, with a broken padding, and claiming
// 1 GiB.
std::vector<std::string> Inputs(bool light) {
  std::vector<std::string> inputs;
  for (std::size_t n : {0, 1, 8, 15, 17, 100, 16383, 16384, 16385, 40000}) {
    const std::string c = EncryptToString(Pattern(n, static_cast<unsigned>(n)), light);
    inputs.insert(inputs.end(), {c, c + "and then other data", c.substr(0, c.size() - 1),
                                 c.substr(0, light ? 12 : 20), c.substr(0, c.size() / 2)});
    std::string broken = c;
    broken.back() = static_cast<char>(broken.back() ^ 0x41);
    inputs.push_back(broken);
  }
  inputs.push_back("ZQCRYPTO" + SizeBytes(1 << 30) + (light ? "" : "ivivivIV") + Pattern(16));
  inputs.push_back("ZQCRYPTO" + SizeBytes(200) + Pattern(40));  // a light payload cut short
  inputs.push_back("not a container at all");
  return inputs;
}

// Runs `read` on a stream of `kind`; with `hostEntry` the thread's error queue
// holds an entry of the caller's own before the call, else it is empty.
Outcome ReadFrom(Reader read, StreamKind kind, const std::string& input, bool light,
                 bool exceptions, bool hostEntry = true) {
  SourceStream stream(kind, input, exceptions);
  // The host's queue full (OpenSSL keeps 15 entries): an error the call
  // raised inside would push the oldest out.
  ERR_clear_error();
  const int hostEntries = hostEntry ? 15 : 0;
  for (int i = 0; i < hostEntries; ++i) ERR_raise_data(ERR_LIB_USER, 60 + i, "entry %d", i);
  Outcome o = read(stream.Get(), light);
  o.queueAsFound = true;
  for (int i = 0; i < hostEntries; ++i) {
    const char* data = nullptr;
    int flags = 0;
    const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
    o.queueAsFound = o.queueAsFound && ERR_GET_REASON(code) == 60 + i && data != nullptr &&
                     "entry " + std::to_string(i) == data;
  }
  o.queueAsFound = o.queueAsFound && ERR_get_error() == 0;
  o.state = stream.Get().rdstate();
  o.mask = stream.Get().exceptions();
  o.rest = stream.Rest();
  return o;
}

}  // namespace

TEST(StreamKinds, EveryReaderGivesThePlainResultOnEveryStream) {
  for (bool light : {false, true}) {
    for (const std::string& input : Inputs(light)) {
      for (const auto& reader : kReaders) {
        const Outcome plain =
            ReadFrom(reader.read, StreamKind::kString, input, light, false, false);
        EXPECT_TRUE(plain.queueAsFound) << reader.name << " left an error on an empty queue";
        for (StreamKind kind : zqtest::kStreamKinds) {
          for (bool exceptions : {false, true}) {
            SCOPED_TRACE(std::string(reader.name) + (light ? " light " : " full ") +
                         zqtest::KindName(kind) + (exceptions ? " with exceptions, " : ", ") +
                         std::to_string(input.size()) + " bytes: plain " + Describe(plain));
            const Outcome got = ReadFrom(reader.read, kind, input, light, exceptions);
            EXPECT_EQ(plain.ok, got.ok);
            EXPECT_TRUE(got.queueAsFound);
            EXPECT_EQ(plain.number, got.number);
            EXPECT_TRUE(plain.bytes == got.bytes) << Describe(got);
            // Where a refused blob leaves a stream that cannot seek is its own.
            if (plain.ok || kind != StreamKind::kPipe) {
              EXPECT_TRUE(plain.rest == got.rest) << Describe(got);
              EXPECT_EQ(plain.state, got.state);
            }
            EXPECT_EQ(exceptions ? std::ios::failbit | std::ios::badbit : std::ios::goodbit,
                      got.mask);
          }
        }
      }
    }
  }
}

// A 28-byte container claiming 1 GiB: no reader allocates for bytes that
// never come, on any stream.
TEST(StreamKinds, ReadersAllocateNoMoreThanTheStreamDeliversPlus64KiB) {
  constexpr std::size_t kBudget = (64 << 10) + 64;
  for (bool light : {false, true}) {
    const std::string input =
        "ZQCRYPTO" + SizeBytes(1 << 30) + (light ? "" : "ivivivIV") + Pattern(16);
    for (StreamKind kind : zqtest::kStreamKinds) {
      for (const auto& reader : kReaders) {
        SCOPED_TRACE(std::string(reader.name) + (light ? " light " : " full ") +
                     zqtest::KindName(kind));
        SourceStream stream(kind, input, false);
        gLargestArray = 0;
        reader.read(stream.Get(), light);
        EXPECT_LE(gLargestArray.load(), kBudget);
      }
      SourceStream stream(kind, input.substr(12), false);
      unsigned char* blob = reinterpret_cast<unsigned char*>(1);
      gLargestArray = 0;
      Crypto::DeserializeLightImpl(stream.Get(), blob, INT_MAX - 1);
      EXPECT_EQ(nullptr, blob);
      EXPECT_LE(gLargestArray.load(), kBudget);
    }
  }
}

namespace {

// A string buffer that counts the seeks asked of it (every measure starts
// with one).
class CountingSeeksBuf : public std::stringbuf {
 public:
  using std::stringbuf::stringbuf;
  int seeks = 0;

 protected:
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
    ++seeks;
    return std::stringbuf::seekoff(off, dir, which);
  }
};

}  // namespace

// Small blobs read one after another cost no seek (a file stream drops its
// buffer on every seek).
TEST(StreamKinds, SmallBlobsAreReadWithoutSeeking) {
  for (bool light : {false, true}) {
    std::string blobs;
    for (int i = 0; i < 50; ++i) blobs += EncryptToString(Pattern(16), light);
    CountingSeeksBuf buffer(blobs, std::ios::in);
    std::istream in(&buffer);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(Deserialize(in, light).ok);
    EXPECT_EQ(0, buffer.seeks);
  }
}

namespace {

struct CallersOwnError {};

// Delivers the first `limit` bytes of `data`, then throws the caller's own
// exception from the buffer; so does every seek.
class ThrowingReadBuf : public std::streambuf {
 public:
  ThrowingReadBuf(std::string data, std::size_t limit) : data_(std::move(data)) {
    setg(data_.data(), data_.data(), data_.data() + std::min(limit, data_.size()));
  }

 protected:
  int_type underflow() override { throw CallersOwnError{}; }
  pos_type seekoff(off_type, std::ios::seekdir, std::ios::openmode) override {
    throw CallersOwnError{};
  }

 private:
  std::string data_;
};

}  // namespace

// With badbit in exceptions(), a stream buffer's own exception reaches the
// caller unchanged, the caller's mask is kept, and the chunked decryption is
// closed; without it the call returns false.
TEST(StreamKinds, CallersOwnExceptionPassesThrough) {
  const std::string container = EncryptToString(Pattern(100), false);
  for (const auto& reader : kReaders) {
    for (std::size_t cut : {4, 16, 60}) {
      if (reader.read == PlainSize && cut > 20) continue;  // it reads the header only
      SCOPED_TRACE(std::string(reader.name) + " cut at " + std::to_string(cut));
      ThrowingReadBuf buffer(container, cut);
      std::istream in(&buffer);
      in.exceptions(std::ios::badbit | std::ios::failbit);
      EXPECT_THROW(reader.read(in, false), CallersOwnError);
      EXPECT_EQ(std::ios::badbit | std::ios::failbit, in.exceptions());

      ThrowingReadBuf quiet(container, cut);
      std::istream plain(&quiet);
      EXPECT_FALSE(reader.read(plain, false).ok);
    }
  }
  // A blob large enough that the reader asks the buffer where its end is.
  const std::string large = EncryptToString(Pattern(70000), true);
  ThrowingReadBuf asked(large, large.size());
  std::istream askedIn(&asked);
  EXPECT_TRUE(Deserialize(askedIn, true).ok) << "a buffer that cannot seek, to the reader";
  ThrowingReadBuf askedWithExceptions(large, large.size());
  std::istream askedThrowing(&askedWithExceptions);
  askedThrowing.exceptions(std::ios::badbit);
  EXPECT_THROW(Deserialize(askedThrowing, true), CallersOwnError);

  // A chunk call that threw leaves the decryption closed.
  std::istringstream good(container);
  int size = 0;
  ASSERT_TRUE(Crypto::DecryptStreamInit(good, size, false));
  ThrowingReadBuf buffer(container.substr(20), 8);
  std::istream in(&buffer);
  in.exceptions(std::ios::badbit);
  char chunk[64];
  int length = sizeof chunk;
  EXPECT_THROW(Crypto::DecryptStreamChunk(in, chunk, length, false), CallersOwnError);
  length = sizeof chunk;
  EXPECT_FALSE(Crypto::DecryptStreamChunk(good, chunk, length, false)) << "still open";
  Crypto::DecryptStreamDeinit();
}

namespace {

// Reads from a file descriptor; a read on an empty pipe blocks, and is a
// cancellation point.
class DescriptorReadBuf : public std::streambuf {
 public:
  explicit DescriptorReadBuf(int fd) : fd_(fd) {}
  std::atomic<bool> waiting{false};

 protected:
  int_type underflow() override {
#ifdef __SANITIZE_ADDRESS__
    // The forced unwinding of a cancelled thread does not tell ASan which
    // frames it left: clear their poison now, as a throw would.
    __asan_handle_no_return();
#endif
    waiting = true;
    const ssize_t n = ::read(fd_, window_, sizeof window_);
    if (n <= 0) return traits_type::eof();
    setg(window_, window_, window_ + n);
    return traits_type::to_int_type(*gptr());
  }

 private:
  int fd_;
  char window_[64];
};

void* ReadChunksFrom(void* buffer) {
  std::istream in(static_cast<DescriptorReadBuf*>(buffer));
  Chunks(in, false);
  return nullptr;
}

}  // namespace

// pthread_cancel of a thread blocked in the caller's stream buffer unwinds
// through the library (forced unwinding is never swallowed) and leaves the
// chunked decryption closed.
TEST(StreamKinds, CancelledThreadUnwindsThroughTheLibrary) {
  const std::string container = EncryptToString(Pattern(100), false);
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  ASSERT_EQ(20, ::write(fds[1], container.data(), 20));  // the header only
  DescriptorReadBuf buffer(fds[0]);
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, ReadChunksFrom, &buffer));
  while (!buffer.waiting) ::usleep(1000);
  ::usleep(20000);  // blocked in the chunk's read by now
  ASSERT_EQ(0, pthread_cancel(thread));
  void* result = nullptr;
  ASSERT_EQ(0, pthread_join(thread, &result));
  EXPECT_EQ(PTHREAD_CANCELED, result);
  std::istringstream rest(container.substr(20));
  char chunk[64];
  int length = sizeof chunk;
  EXPECT_FALSE(Crypto::DecryptStreamChunk(rest, chunk, length, false)) << "still open";
  Crypto::DecryptStreamDeinit();
  ::close(fds[0]);
  ::close(fds[1]);
}

// A stream already bad on entry (a caller that caught the failure and goes
// on): every reader refuses it and keeps the caller's whole exception mask.
TEST(StreamKinds, BadOnEntryKeepsTheCallersMask) {
  const std::string container = EncryptToString(Pattern(100), false);
  for (const auto& reader : kReaders) {
    for (std::ios::iostate mask :
         {std::ios::badbit | std::ios::failbit, std::ios::badbit | std::ios::eofbit}) {
      SCOPED_TRACE(std::string(reader.name) + " mask " + std::to_string(mask));
      std::istringstream in(container);
      in.setstate(std::ios::badbit);
      EXPECT_THROW(in.exceptions(mask), std::ios_base::failure);
      EXPECT_FALSE(reader.read(in, false).ok);
      EXPECT_EQ(mask, in.exceptions());
    }
  }
}
