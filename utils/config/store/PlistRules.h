// What the store accepts as a settings file, stated once: the limits every
// reader and writer applies alike, and the form in which a reader says why it
// refuses a file (the one rule broken and where). Private to the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/config/Config.h"

namespace ZQ::RVL::Utils::Preferences {

// The bytes of a file's content: its keys and texts as the binary form
// stores them (a byte a character when all are ASCII, else 2 per UTF-16
// unit), its data, and its numbers, dates and UIDs, every shared object
// counted at each reference to it. What a file holds decoded, and what the
// store's rewrite of it holds, is thus bounded alike, whether it came as XML
// or binary.
constexpr std::size_t kMaxContentBytes = Config::kMaxContentBytes;
// The largest file, binary or XML: the content and room for the binary
// form's markers, references and offsets at kMaxPlistEntries (at most 32
// bytes an entry). A larger file is not read at all.
constexpr std::size_t kMaxFileSize = Config::kMaxFileBytes;
// The entries of a file: every key-value pair of a dictionary and every item
// of an array, at every level, counted the same way.
constexpr std::size_t kMaxPlistEntries = Config::kMaxEntries;
// The deepest nesting of arrays and dictionaries, the root counting as 1.
constexpr std::size_t kMaxPlistNesting = 64;
// The objects of a binary file: every object of an accepted file is the
// root, a key or an entry, so a table of more holds some no file needs.
constexpr std::uint64_t kMaxPlistObjects = 2 * std::uint64_t{kMaxPlistEntries} + 1;

// Why a reader refuses a file.
struct PlistRefusal {
  // True when the file breaks only a limit above (kOverLimits), false when
  // it breaks a rule of the format (kDamaged).
  bool overLimits = false;
  std::string rule;   // in words: "a key is named twice"
  std::string where;  // "at byte 1234", "at key \"a\" / item 3"; empty when the whole file

  // "rule, where".
  std::string Text() const { return where.empty() ? rule : rule + ", " + where; }
};

// A key as a refusal shows it, in double quotes: printable ASCII as it is,
// other bytes as \xNN, cut short after 40 bytes.
std::string ShownKey(std::string_view key);

}  // namespace ZQ::RVL::Utils::Preferences
