// UTF-8 as the store's texts hold it. Private to the store.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// Appends code point `code` (at most U+10FFFF, no surrogate) to `out` as
// UTF-8.
void AppendUtf8(std::uint32_t code, std::string& out);

// Returns true when `text` is well-formed UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF).
bool IsUtf8(std::string_view text);

// Returns true when every byte of `text` is ASCII (below 0x80) and none is a
// NUL: a text the binary form stores as it is. Eight bytes at a time.
bool IsPlainAscii(std::string_view text);

}  // namespace ZQ::RVL::Utils::Preferences
