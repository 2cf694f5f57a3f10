// Built-in constants of the crypto subsystem. Private to utils/crypto: not
// installed and not part of the public API.
//
// These bytes belong to the stored container format: changing any of them
// makes every container and every light-scrambled buffer written before
// unreadable. The two keys are chosen when the library is built (the CMake
// cache variables ZQ_CRYPTO_KEY and ZQ_LIGHT_KEY, cmake/ZQKeys.cmake); the
// defaults are the bytes every earlier build used.
#pragma once

#include <cstddef>

#include "utils/crypto/BuiltInKeys.h"

namespace ZQ::RVL::Utils::Crypto::internal {

// The key: AES-128 key of the keyless buffer cipher and the
// Blowfish-CBC key (all 16 bytes) of the full-form container.
// Default 5b55ee72a5b620747a12cf24cd8083b5.
inline constexpr const unsigned char (&gcGlobalCryptoKey)[16] = gcBuiltInCryptoKey;

// The light scramble pattern: byte i of a run is XORed with byte i mod 16.
// Default 570cdd2df84a85d63a84916e40847eea.
inline constexpr const unsigned char (&gcGlobalLightCryptoKey)[16] = gcBuiltInLightCryptoKey;

// The first eight bytes of every container, without a terminator.
inline constexpr char gcMagic[8] = {'Z', 'Q', 'C', 'R', 'Y', 'P', 'T', 'O'};

inline constexpr std::size_t kMagicSize = sizeof gcMagic;
inline constexpr std::size_t kSizeFieldSize = 4;
inline constexpr std::size_t kIvSize = 8;
inline constexpr std::size_t kBlowfishBlockSize = 8;
inline constexpr std::size_t kLightHeaderSize = kMagicSize + kSizeFieldSize;  // 12
inline constexpr std::size_t kFullHeaderSize = kLightHeaderSize + kIvSize;    // 20

// Stream operations move data in pieces of at most this many plain or cipher
// bytes through fixed arrays on the stack (two of them, about 32 KiB, in the
// full form). Pieces this large keep file I/O to one system call per piece; a
// multiple of 16, so every piece starts the light pattern in phase.
inline constexpr std::size_t kPieceSize = 16384;
static_assert(kPieceSize % 16 == 0 && kPieceSize % kBlowfishBlockSize == 0);

}  // namespace ZQ::RVL::Utils::Crypto::internal
