// A guard in front of libplist: its XML and binary parsers recurse once per
// nesting level, so a file of a few hundred kilobytes holding arrays nested a
// hundred thousand deep overflows the stack and kills the process. This file
// measures the nesting of a property list without recursion, so such a file
// can be treated as damaged before libplist sees it. Private to the store.
//
// Thread-safety: a pure function.
#pragma once

#include <cstddef>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// The deepest nesting of arrays and dictionaries (the root counts as 1) that
// the store hands to libplist.
constexpr std::size_t kMaxPlistNesting = 64;

// Returns true when the property list in `file` (binary "bplist00" or XML)
// nests arrays and dictionaries at most `maxDepth` deep. Returns false when it
// nests deeper, when a binary list refers to itself in a loop, when its
// binary structure (trailer, offset table, references) is malformed, or when
// a key of one of its dictionaries is not a text or holds a NUL (libplist
// aborts on such a key). Whether the rest is well formed is left to the
// parser.
bool NestingWithin(std::string_view file, std::size_t maxDepth);

}  // namespace ZQ::RVL::Utils::Preferences
