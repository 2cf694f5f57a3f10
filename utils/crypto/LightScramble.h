// The light scramble: an XOR with the built-in 16-byte pattern, shared by the
// buffer, stream, chunk and blob paths. Private to utils/crypto.
#pragma once

#include <cstddef>

namespace ZQ::RVL::Utils::Crypto::internal {

// XORs `n` bytes at `data` in place with the light pattern, byte i taking
// pattern byte (i + phase) mod 16. Its own inverse. Thread-safe.
void ScrambleLight(unsigned char* data, std::size_t n, std::size_t phase = 0) noexcept;

}  // namespace ZQ::RVL::Utils::Crypto::internal
