// UTF-8 as the store's texts hold it. Private to the store.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// Appends code point `code` (at most U+10FFFF, no surrogate) to `out` as
// UTF-8.
void AppendUtf8(std::uint32_t code, std::string& out);

// The code point that starts at `text[at]` and its length in bytes; a length
// of 0 when no well-formed one starts there (shortest forms, no surrogates,
// nothing above U+10FFFF).
struct CodePoint {
  std::uint32_t code = 0;
  std::size_t length = 0;
};
CodePoint DecodeUtf8(std::string_view text, std::size_t at);

// Returns true when `text` is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// Returns true when every byte of `text` is ASCII (below 0x80) and none is a
// NUL: a text the binary form stores as it is. Eight bytes at a time: a byte
// of 0 borrows into its top bit, a byte above 0x7f has it set, and a borrow
// only crosses from a byte of 0. Inline: the reader calls it for every key.
inline bool IsPlainAscii(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kTops = 0x8080808080808080u;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((((word - kOnes) | word) & kTops) != 0) return false;
  }
  std::uint64_t word = kOnes;  // the rest, padded with bytes of 1
  for (std::size_t k = 0; i + k < text.size(); ++k) {
    word = (word & ~(std::uint64_t{0xff} << (8 * k))) |
           std::uint64_t{static_cast<unsigned char>(text[i + k])} << (8 * k);
  }
  return (((word - kOnes) | word) & kTops) == 0;
}

}  // namespace ZQ::RVL::Utils::Preferences
