// Helpers shared by the GUID tests: reproducible pseudo-random identifiers.
#pragma once

#include <cstdint>
#include <random>

#include "utils/guid/GUID.h"

namespace zqtest {

// Returns an identifier whose 128 bits come from `rng` (the C++ standard fixes
// std::mt19937 output, so a seed gives the same values everywhere).
inline ZQ::RVL::Utils::GUID RandomGuid(std::mt19937& rng) {
  const auto word = [&rng] { return static_cast<std::uint32_t>(rng()); };
  const std::uint32_t a = word(), b = word(), c = word(), d = word();
  const auto byte = [](std::uint32_t w, int shift) {
    return static_cast<std::uint8_t>(w >> shift);
  };
  return ZQ::RVL::Utils::GUID::Create(
      a, static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(b >> 16), byte(c, 0), byte(c, 8),
      byte(c, 16), byte(c, 24), byte(d, 0), byte(d, 8), byte(d, 16), byte(d, 24));
}

}  // namespace zqtest
