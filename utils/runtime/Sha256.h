// SHA-256 in plain code: the digest behind the settings store's host id (the
// name of every by-host file) and the key pair's fingerprint. It needs no
// OpenSSL, so those work in any state of the process: before OpenSSL starts,
// after its clean-up at exit, in a child that OpenSSL would hang. Private to
// the library.
//
// Thread-safety: any thread may call it at once; it keeps nothing.
#pragma once

#include <cstddef>

namespace ZQ::RVL::Utils::internal {

// Writes the SHA-256 digest of `size` bytes at `data` to `digest`. Never fails.
void Sha256(const void* data, std::size_t size, unsigned char (&digest)[32]) noexcept;

}  // namespace ZQ::RVL::Utils::internal
