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

}  // namespace ZQ::RVL::Utils::Preferences
