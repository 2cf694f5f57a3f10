// Hex text for bytes, as zqutil prints and reads them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zqutil {

std::string ToHex(const unsigned char* bytes, std::size_t n);

// Parses pairs of hex digits (any case, spaces and colons between pairs
// allowed). Returns false on anything else.
bool ParseHex(const std::string& text, std::vector<unsigned char>& bytes);

}  // namespace zqutil
