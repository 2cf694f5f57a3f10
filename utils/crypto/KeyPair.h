// Which key pair this build of the library holds. The container and buffer
// cipher key and the light scramble pattern are fixed when the library is
// built (the CMake cache variables ZQ_CRYPTO_KEY and ZQ_LIGHT_KEY); a
// container, light buffer or blob written by one build reads only in a build
// with the same pair. The fingerprint lets an operator tell builds apart.
//
// Thread-safety: both functions may be called from any thread at once.
#pragma once

#include <string>

#include "utils/Export.h"

namespace ZQ::RVL::Utils::Crypto {

// Returns true when the library holds the toolkit's default pair, the one
// every build has unless it was configured with its own.
ZQ_UTILS_API bool KeyPairIsDefault();

// Returns the fingerprint of the built-in pair: the first 8 hex digits (lower
// case) of the SHA-256 of its 32 bytes, the cipher key then the light pattern.
// Two builds that read each other's containers have the same fingerprint;
// it tells nothing usable about the keys. Never fails, and never calls
// OpenSSL.
ZQ_UTILS_API std::string KeyPairFingerprint();

}  // namespace ZQ::RVL::Utils::Crypto
