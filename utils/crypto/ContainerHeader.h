// The container header, shared by every writer and reader of containers.
// Private to utils/crypto.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace ZQ::RVL::Utils::Crypto::internal {

// Writes the magic and `size` (little-endian); in the full form also draws a
// fresh IV into `iv` and writes it. Returns false when the random source fails
// (nothing is written then) or `out` has an error flag afterwards.
bool WriteHeader(std::ostream& out, int size, unsigned char (&iv)[8], bool light);

// Reads a header. Returns false on a wrong magic (the 8 bytes stay consumed,
// `size` untouched), a stream that ends in the size field (`size` 0), a
// negative size field (`size` holds it) or, in the full form, a stream that
// ends in the IV (`size` holds the size field). On true `size` and,
// in the full form, `iv` hold the header's fields and `in` is at the payload.
bool ReadHeader(std::istream& in, int& size, unsigned char (&iv)[8], bool light);

// Returns the full-form ciphertext length for a plain size: the next multiple
// of 8 strictly above it, computed without overflow; 0 for a negative size.
std::int64_t CipherLength(int plainSize) noexcept;

}  // namespace ZQ::RVL::Utils::Crypto::internal
