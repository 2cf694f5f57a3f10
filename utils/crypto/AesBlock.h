// AES-128 on one 16-byte block in place. Private to utils/crypto.
//
// On CPUs with AES instructions the block is transformed with them directly
// (constant time, about a tenth of the cost of re-keying an OpenSSL context per
// block); elsewhere through OpenSSL's AES-128-ECB. Either way the key schedule
// exists only during the call and is wiped before it returns. Thread-safe.
#pragma once

#include "utils/runtime/OpenSsl.h"

namespace ZQ::RVL::Utils::Crypto::internal {

using Utils::internal::Direction;

// Transforms block[0..15] in place under the 16-byte `key`. Returns false only
// when the OpenSSL path is taken and fails; the block is then unchanged.
bool AesBlock(unsigned char* block, const unsigned char* key, Direction direction) noexcept;

// The same through OpenSSL only, whatever the CPU offers. For cross-checks.
bool AesBlockOpenSsl(unsigned char* block, const unsigned char* key, Direction direction) noexcept;

// One AES block transform, in place: AesBlock or AesBlockOpenSsl.
using AesTransform = bool (*)(unsigned char* block, const unsigned char* key,
                              Direction direction) noexcept;

// Runs `transform` on block[0..15] and, when it fails (neither the CPU's AES
// instructions nor OpenSSL's AES is usable), sets the 16 bytes to zero: plain
// text is never left in place of cipher text. Returns false then.
bool AesBlockOrZero(unsigned char* block, const unsigned char* key, Direction direction,
                    AesTransform transform = AesBlock) noexcept;

// Returns true when AesBlock uses the CPU's AES instructions.
bool AesBlockUsesCpuInstructions() noexcept;

}  // namespace ZQ::RVL::Utils::Crypto::internal
