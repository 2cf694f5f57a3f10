// What the store accepts as a settings file, stated once: the limits every
// reader and writer applies alike, and the form in which a reader says why it
// refuses a file (the one rule broken and where). Private to the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/config/Config.h"

namespace ZQ::RVL::Utils::Preferences {

// The largest settings file, in bytes, binary or XML. A larger file is not
// read at all (kOverLimits); a write that would make one stores nothing.
constexpr std::size_t kMaxFileSize = Config::kMaxFileBytes;
// Once decoded, the bytes of a file's texts (as UTF-8), data and numbers (8
// each), every shared object counted at each reference to it, stay within
// kMaxFileSize too.
// The entries of a file: every key-value pair of a dictionary and every item
// of an array, at every level, counted the same way.
constexpr std::size_t kMaxPlistEntries = Config::kMaxEntries;
// The deepest nesting of arrays and dictionaries, the root counting as 1.
constexpr std::size_t kMaxPlistNesting = 64;
// Besides, counted with every shared object at each reference to it, a file
// holds no more entries than it has bytes, and no more than this many times
// its size in bytes of data and numbers: a small file cannot cost what a large
// one does. Texts count against kMaxFileSize only: the store's binary writer,
// like plistlib's, stores equal texts once.
constexpr std::size_t kMaxPlistExpansion = 64;

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

}  // namespace ZQ::RVL::Utils::Preferences
