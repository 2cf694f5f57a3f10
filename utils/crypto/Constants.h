// Built-in constants of the crypto subsystem. Private to utils/crypto: not
// installed and not part of the public API.
//
// These bytes belong to the stored container format: changing any of them
// makes every container and every light-scrambled buffer written before
// unreadable.
#pragma once

#include <cstddef>

namespace ZQ::RVL::Utils::Crypto::internal {

// The default key: AES-128 key of the keyless buffer cipher and the
// Blowfish-CBC key (all 16 bytes) of the full-form container.
inline constexpr unsigned char gcGlobalCryptoKey[16] = {
    0x5b, 0x55, 0xee, 0x72, 0xa5, 0xb6, 0x20, 0x74, 0x7a, 0x12, 0xcf, 0x24, 0xcd, 0x80, 0x83, 0xb5};

// The light scramble pattern: byte i of a run is XORed with byte i mod 16.
inline constexpr unsigned char gcGlobalLightCryptoKey[16] = {
    0x57, 0x0c, 0xdd, 0x2d, 0xf8, 0x4a, 0x85, 0xd6, 0x3a, 0x84, 0x91, 0x6e, 0x40, 0x84, 0x7e, 0xea};

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
