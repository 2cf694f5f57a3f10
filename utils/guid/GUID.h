// ZQ::RVL::Utils::GUID: a 128-bit identifier held as a plain value, with fresh
// random identifiers, a strict parser for the 36-character text form (bare or
// braced, any case), the lower-case text form, equality and a total order for
// use as a key of std::map; std::hash<GUID> makes it a std::unordered_map key.
//
// Thread-safety: a GUID is a plain value; every operation here may be called
// from any thread at once. Nothing throws on bad input: text that cannot be
// parsed gives the nil identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "utils/Export.h"

namespace ZQ::RVL::Utils {

// An aggregate of exactly four public fields, trivially copyable, with no base
// class and nothing virtual. Every bit pattern is a valid value; the nil
// identifier has all fields zero. The fields hold numbers, not wire bytes:
// data1 to data3 are native integers.
struct ZQ_UTILS_API GUID {
  std::uint32_t data1;    // first text group, 8 hex digits
  std::uint16_t data2;    // second text group, 4 hex digits
  std::uint16_t data3;    // third text group, 4 hex digits
  std::uint8_t data4[8];  // [0] and [1]: fourth group; [2] to [7]: fifth group

  // Returns a fresh RFC 4122 version 4 identifier made of 122 bits from the
  // kernel's random source (getrandom, else /dev/urandom), bytes read
  // big-endian into the fields, so ToString() prints the bytes in order.
  // Returns the nil identifier when no random source can be read. Nothing is
  // pooled: every call reads the kernel afresh, also after fork().
  static GUID Create();

  // Returns the identifier with exactly these fields; b0 to b7 go to data4[0]
  // to data4[7] in argument order.
  static GUID Create(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3, std::uint8_t b0,
                     std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                     std::uint8_t b5, std::uint8_t b6, std::uint8_t b7);

  // Parses `text` up to its first NUL (or its end) as exactly
  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" of hex digits in any case, or that
  // form between "{" and "}". Returns the nil identifier for anything else:
  // a group of the wrong length, a wrong or missing separator, a non-hex
  // character, a sign or radix prefix, white space or any other character
  // before or after, a brace on one side only. A parsed nil text and a
  // rejection therefore look the same.
  static GUID Create(const std::string& text);

  // Returns true when all four fields are equal.
  bool Equal(const GUID& other) const;

  // Returns true when this identifier sorts strictly before `other` in the
  // word order: data1; then data3, data2; then data4[3], [2], [1], [0]; then
  // data4[7], [6], [5], [4]. This is a strict total order that agrees with
  // Equal, but it is neither the order of the text form nor of the fields.
  bool Before(const GUID& other) const;

  // Returns the 36-character lower-case form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx",
  // zero-padded, without braces, whatever the global locale is.
  std::string ToString() const;
};

// Same as a.Equal(b).
inline bool operator==(const GUID& a, const GUID& b) {
  return a.Equal(b);
}
// Same as !a.Equal(b).
inline bool operator!=(const GUID& a, const GUID& b) {
  return !a.Equal(b);
}
// Same as a.Before(b): the word order described there, not the text order.
// std::map<GUID, T> iterates in this order.
inline bool operator<(const GUID& a, const GUID& b) {
  return a.Before(b);
}

// Writes id.ToString() to `out`.
ZQ_UTILS_API std::ostream& operator<<(std::ostream& out, const GUID& id);

}  // namespace ZQ::RVL::Utils

// Hashes all 16 bytes of the identifier, so a std::unordered_map keyed by GUID
// spreads well also for identifiers that differ in one field only.
namespace std {
template <>
struct hash<ZQ::RVL::Utils::GUID> {
  ZQ_UTILS_API std::size_t operator()(const ZQ::RVL::Utils::GUID& id) const noexcept;
};
}  // namespace std
