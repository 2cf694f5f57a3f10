// Chunked decryption of one container into the caller's buffer, through the
// process-wide context (one chunked decryption per process at a time, no lock).
#include <cstring>
#include <istream>
#include <optional>

#include "utils/NoDestructor.h"
#include "utils/crypto/Constants.h"
#include "utils/crypto/ContainerCipher.h"
#include "utils/crypto/ContainerHeader.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/LightScramble.h"
#include "utils/crypto/StreamIo.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using internal::ContainerCipher;
using internal::kBlowfishBlockSize;
using internal::kPieceSize;

// Closed: no cipher (Context() empty). Open: a container is being decrypted.
// Finished: the end was met and every plain byte delivered.
enum class ChunkState { kClosed, kOpen, kFinished };

unsigned char gIV[internal::kIvSize] = {};
ChunkState gState = ChunkState::kClosed;

// The process-wide context. It is never destroyed: a program that exits with
// a decryption still open must not free it after the OpenSSL state it came
// from is gone.
std::optional<ContainerCipher>& Context() {
  static Utils::internal::NoDestructor<std::optional<ContainerCipher>> context;
  return *context;
}

void Close() {
  Context().reset();  // frees the context and its key schedule
  gState = ChunkState::kClosed;
}

bool ValidChunkLength(const char* buffer, int length, bool light) {
  const int unit = light ? 16 : static_cast<int>(kBlowfishBlockSize);
  return buffer != nullptr && length > 0 && length % unit == 0;
}

// Appends `n` produced bytes to the caller's buffer. The cipher never yields
// more than it was given, so the chunk's bytes always fit; a breach would be a
// broken invariant, reported as a failure rather than written past the end.
bool Deliver(char* buffer, int capacity, int& delivered, const unsigned char* bytes, int n) {
  if (n < 0 || n > capacity - delivered) return false;
  std::memcpy(buffer + delivered, bytes, static_cast<std::size_t>(n));
  delivered += n;
  return true;
}

// The full-form chunk step on an Open context. Returns false on a stream or
// cipher failure (the caller closes); `delivered` holds the plain bytes placed.
bool DecryptFullChunk(std::istream& in, char* buffer, int capacity, int& delivered,
                      bool& reachedEnd) {
  unsigned char piece[kPieceSize];
  unsigned char produced[kPieceSize + kBlowfishBlockSize];
  bool ok = true;
  const std::int64_t taken =
      internal::ReadPieces(in, capacity, piece, [&](unsigned char* bytes, std::size_t n) {
        const int m = Context()->Update(bytes, n, produced);
        ok = m >= 0 && Deliver(buffer, capacity, delivered, produced, m);
        return ok;
      });
  if (!ok || in.bad() || (in.fail() && !in.eof())) return false;
  // A read that yields nothing is the end only when the stream says so.
  if (taken == 0 && !in.eof()) return false;
  reachedEnd = in.eof();
  if (!reachedEnd) return true;
  const int m = Context()->Final(produced);
  return m >= 0 && Deliver(buffer, capacity, delivered, produced, m);
}

}  // namespace

bool DecryptStreamInit(std::istream& in, int& size, bool light) {
  // Whatever the header holds, the context is set up afresh (Open), so every
  // Init is matched by a Deinit; an earlier context is released first.
  Context().reset();
  const bool headerOk =
      internal::WithoutStreamExceptions([&] { return internal::ReadHeader(in, size, gIV, light); });
  Context().emplace(internal::Direction::kDecrypt, gIV);
  gState = ChunkState::kOpen;
  if (!light && !Context()->Ready()) return false;
  return headerOk;
}

bool DecryptStreamChunk(std::istream& in, char* buffer, int& length, bool light) {
  if (!ValidChunkLength(buffer, length, light)) return false;
  if (light) {
    const int capacity = length;
    StreamEncryptDecryptChunkLight(in, buffer, length);
    // A read error is not the end of the stream: the caller's loop, waiting
    // for eof, would never stop.
    if (internal::ReadFailed(in)) {
      std::memset(buffer, 0, static_cast<std::size_t>(capacity));
      length = capacity;
      Close();
      return false;
    }
    return true;
  }
  const int capacity = length;
  std::memset(buffer, 0, static_cast<std::size_t>(capacity));
  if (gState != ChunkState::kOpen || !Context() || !Context()->Ready()) {
    Close();
    return false;
  }
  int delivered = 0;
  bool reachedEnd = false;
  const bool ok = internal::WithoutStreamExceptions(
      [&] { return DecryptFullChunk(in, buffer, capacity, delivered, reachedEnd); });
  if (!ok) {
    // A failed final check leaves the bytes it had delivered; any other
    // failure leaves the buffer zeroed and `length` unchanged.
    if (reachedEnd) {
      length = delivered;
    } else {
      std::memset(buffer, 0, static_cast<std::size_t>(capacity));
    }
    Close();
    return false;
  }
  length = delivered;
  if (reachedEnd) gState = ChunkState::kFinished;
  return true;
}

void DecryptStreamDeinit() {
  Close();
}

void StreamEncryptDecryptChunkLight(std::istream& in, char* buffer, int& length) {
  if (buffer == nullptr || length <= 0) {
    length = 0;
    return;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(length));
  std::streamsize got = 0;
  internal::WithoutStreamExceptions([&] {
    in.read(buffer, length);
    got = in.gcount();
    return true;
  });
  length = static_cast<int>(got);
  internal::ScrambleLight(reinterpret_cast<unsigned char*>(buffer), static_cast<std::size_t>(got));
}

}  // namespace ZQ::RVL::Utils::Crypto
