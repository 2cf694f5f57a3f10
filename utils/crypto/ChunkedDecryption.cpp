// Chunked decryption of one container into the caller's buffer, through the
// process-wide context (one chunked decryption per process at a time; a call
// that finds another thread's call on it refuses).
#include <atomic>
#include <cstdint>
#include <cstring>
#include <istream>
#include <new>
#include <optional>

#include "utils/crypto/Constants.h"
#include "utils/crypto/ContainerCipher.h"
#include "utils/crypto/ContainerHeader.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/StreamIo.h"
#include "utils/runtime/ChildWiped.h"
#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using internal::ContainerCipher;
using internal::kBlowfishBlockSize;

// Closed: no cipher (Context() empty). Open: a container is being decrypted.
// Finished: the end was met and every plain byte delivered.
enum class ChunkState { kClosed, kOpen, kFinished };

// Touched only by the call that holds the turn.
unsigned char gIV[internal::kIvSize] = {};
ChunkState gState = ChunkState::kClosed;
// The number of the decryption the context holds: each Init opens the next.
std::uint64_t gOpened = 0;
// The number of the decryption this thread opened and has not closed, or 0.
// A thread whose decryption another thread's Init has replaced since is
// refused the full-form chunks (they would come from the other container's
// cipher) and does not close the other's; a thread that opened none (a
// decryption handed to it) goes on with the one open.
thread_local std::uint64_t tOpened = 0;

// True when the calling thread's decryption is the one the context holds, or
// the thread opened none. Under the turn.
bool OursOrHandedOver() {
  return tOpened == 0 || tOpened == gOpened;
}

// Whether a call is on the process-wide context. Taken without waiting: a
// call that finds it taken (another thread's call, or a signal handler's call
// into one in progress) does nothing and fails. It belongs to this process: a
// child made while another thread was in a call, which does not go on there,
// finds it clear (ChildWiped.h; where the kernel cannot wipe it, the flag is
// a plain one, which such a child inherits set).
class BusyFlag {
 public:
  BusyFlag() : page_(Utils::internal::NewChildWiped()) {
    if (page_ != nullptr) flag_ = new (page_) std::atomic<bool>(false);
  }
  std::atomic<bool>& Get() { return *flag_; }

 private:
  void* page_;
  std::atomic<bool> plain_{false};
  std::atomic<bool>* flag_ = &plain_;
};
Utils::internal::ProcessWide<BusyFlag> gBusy;

class Turn {
 public:
  Turn() noexcept : taken_(!gBusy.Get().Get().exchange(true, std::memory_order_acquire)) {}
  ~Turn() {
    if (taken_) gBusy.Get().Get().store(false, std::memory_order_release);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  bool Taken() const noexcept { return taken_; }

 private:
  bool taken_;
};

// The process-wide context. It is never destroyed: a program that exits with
// a decryption still open must not free it after the OpenSSL state it came
// from is gone.
Utils::internal::ProcessWide<std::optional<ContainerCipher>> gContext;

std::optional<ContainerCipher>& Context() {
  return gContext.Get();
}

void Close() {
  Context().reset();  // frees the context and its key schedule
  gState = ChunkState::kClosed;
}

bool ValidChunkLength(const char* buffer, int length, bool light) {
  const int unit = light ? 16 : static_cast<int>(kBlowfishBlockSize);
  return buffer != nullptr && length > 0 && length % unit == 0;
}

// The full-form chunk step on an Open context: reads up to `capacity` bytes
// into the cipher and places what it produces in `buffer`; at the end of the
// stream also the rest after the padding check. Returns false on a stream or
// cipher failure (the caller closes); `delivered` holds the plain bytes placed.
bool DecryptFullChunk(std::istream& in, char* buffer, int capacity, int& delivered,
                      bool& reachedEnd) {
  // The cipher never yields more than it was given, so the chunk's bytes
  // always fit; a breach would be a broken invariant, reported as a failure
  // rather than written past the end.
  const auto deliver = [&](const unsigned char* bytes, std::size_t n) {
    if (n > static_cast<std::size_t>(capacity - delivered)) return false;
    std::memcpy(buffer + delivered, bytes, n);
    delivered += static_cast<int>(n);
    return true;
  };
  ContainerCipher& cipher = *Context();
  std::int64_t taken = 0;
  const bool passed = cipher.Pass(
      [&](auto&& onPiece) { taken = internal::ReadPieces(in, capacity, cipher.Piece(), onPiece); },
      deliver);
  if (!passed || internal::ReadFailed(in)) return false;
  // A read that yields nothing is the end only when the stream says so.
  if (taken == 0 && !in.eof()) return false;
  reachedEnd = in.eof();
  return !reachedEnd || Context()->Finish(deliver);
}

// Runs one call on the process-wide context: an exception that passes through
// to the caller (its own, from its stream buffer) leaves the context Closed.
template <typename Body>
bool ClosedIfItThrows(Body&& body) {
  try {
    return body();
  } catch (...) {
    Close();
    throw;
  }
}

}  // namespace

bool DecryptStreamInit(std::istream& in, int& size, bool light) {
  const Turn turn;
  if (!turn.Taken()) return false;
  const internal::CallerErrorQueue keep;
  // Whatever the header holds, the context is set up afresh (Open), so every
  // Init is matched by a Deinit; an earlier context is released first.
  Close();
  tOpened = ++gOpened;
  return ClosedIfItThrows([&] {
    const bool headerOk = internal::StreamFailureAsFalse(
        &in, [&] { return internal::ReadHeader(in, size, gIV, light); });
    Context().emplace(internal::Direction::kDecrypt, gIV);
    gState = ChunkState::kOpen;
    if (!light && !Context()->Ready()) return false;
    return headerOk;
  });
}

bool DecryptStreamChunk(std::istream& in, char* buffer, int& length, bool light) {
  if (!ValidChunkLength(buffer, length, light)) return false;
  const Turn turn;
  if (!turn.Taken()) return false;
  const int capacity = length;
  if (light) {
    ClosedIfItThrows([&] {
      StreamEncryptDecryptChunkLight(in, buffer, length);
      return true;
    });
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
  // Another thread's decryption: refused, and left to that thread.
  if (!OursOrHandedOver()) return false;
  std::memset(buffer, 0, static_cast<std::size_t>(capacity));
  if (gState != ChunkState::kOpen || !Context() || !Context()->Ready()) {
    Close();
    return false;
  }
  int delivered = 0;
  bool reachedEnd = false;
  const bool ok = ClosedIfItThrows([&] {
    return internal::StreamFailureAsFalse(
        &in, [&] { return DecryptFullChunk(in, buffer, capacity, delivered, reachedEnd); });
  });
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
  const Turn turn;
  if (!turn.Taken()) return;
  if (OursOrHandedOver()) Close();
  tOpened = 0;
}

void StreamEncryptDecryptChunkLight(std::istream& in, char* buffer, int& length) {
  if (buffer == nullptr || length <= 0) {
    length = 0;
    return;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(length));
  auto* bytes = reinterpret_cast<unsigned char*>(buffer);
  std::int64_t got = 0;
  internal::StreamFailureAsFalse(&in, [&] {
    internal::ReadLight(
        in, length, [bytes](std::int64_t offset, std::size_t) { return bytes + offset; },
        [&got](unsigned char*, std::size_t n) {
          got += static_cast<std::int64_t>(n);
          return true;
        });
    return true;
  });
  length = static_cast<int>(got);
}

}  // namespace ZQ::RVL::Utils::Crypto
