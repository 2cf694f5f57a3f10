// The Blowfish-CBC step of the full-form container, shared by every writer and
// reader. Private to utils/crypto.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>

#include "utils/crypto/Constants.h"
#include "utils/runtime/OpenSsl.h"

namespace ZQ::RVL::Utils::Crypto::internal {

using Utils::internal::BlowfishAvailable;
using Utils::internal::CipherCtxPtr;
using Utils::internal::Direction;

// One container's cipher: Blowfish-CBC under the built-in key with the
// container's IV, PKCS #7 padding on. Owns its context and, on the heap, a
// piece for the input and the array its output passes through (a call's
// stack stays small: Crypto.h); not thread-safe.
class ContainerCipher {
 public:
  // Sets up the cipher; Ready() is false when Blowfish is unavailable or
  // memory runs out.
  ContainerCipher(Direction direction, const unsigned char (&iv)[8]);

  bool Ready() const noexcept { return ctx_ != nullptr && buffers_ != nullptr; }

  // Room for one piece of input (kPieceSize bytes) while the cipher lives.
  unsigned char* Piece() noexcept { return buffers_->piece; }

  // The one cipher loop of the container. `forEachPiece(onPiece)` calls
  // onPiece(const unsigned char* piece, std::size_t n) for each piece of input
  // (n at most kPieceSize) and stops when it returns false; every piece goes
  // through the cipher, and what it produces (possibly nothing) goes to
  // `sink(const unsigned char* bytes, std::size_t n)`, which returns false to
  // stop. Returns false when the cipher fails or is not ready, or the sink
  // refused.
  template <typename ForEachPiece, typename Sink>
  bool Pass(ForEachPiece&& forEachPiece, Sink&& sink) {
    bool ok = Ready();
    if (!ok) return false;
    forEachPiece([&](const unsigned char* piece, std::size_t n) {
      assert(n <= kPieceSize);
      const int produced = Update(piece, n);
      ok = produced >= 0 && sink(static_cast<const unsigned char*>(buffers_->produced),
                                 static_cast<std::size_t>(produced));
      return ok;
    });
    return ok;
  }

  // Finishes and hands the result to `sink`: encrypting, the last block with
  // its padding; decrypting, what is left after the padding check. Returns
  // false on a wrong padding, a ciphertext whose length is not a multiple of
  // 8, a cipher not ready, or a sink that refused.
  template <typename Sink>
  bool Finish(Sink&& sink) {
    const int produced = Final();
    return produced >= 0 && sink(static_cast<const unsigned char*>(buffers_->produced),
                                 static_cast<std::size_t>(produced));
  }

  // Frees the context and its key schedule; Ready() is false afterwards.
  void Release() noexcept { ctx_.reset(); }

 private:
  // Passes `n` bytes through the cipher into produced_; returns the number of
  // bytes produced, or -1.
  int Update(const unsigned char* in, std::size_t n) noexcept;
  int Final() noexcept;

  struct Buffers {
    unsigned char piece[kPieceSize];
    unsigned char produced[kPieceSize + kBlowfishBlockSize];
  };
  std::unique_ptr<Buffers> buffers_;
  CipherCtxPtr ctx_;
};

}  // namespace ZQ::RVL::Utils::Crypto::internal
