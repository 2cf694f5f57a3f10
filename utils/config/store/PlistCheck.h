// The gate in front of libplist 2.2. Its parsers recurse once per nesting
// level, copy a shared object at every reference to it (a 241-byte binary file
// can expand to billions of nodes), read some files that Python's plistlib and
// other readers refuse, and cannot carry some values over to the file they
// write (a text holding a NUL, large UIDs, the null object...). One walk over
// the file, without recursion and before libplist sees it, decides all of that
// within a budget fixed in advance. Private to the store.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/config/store/PlistRules.h"

namespace ZQ::RVL::Utils::Preferences {

// The byte limit under its former name, until every reader reads
// PlistRules.h.
constexpr std::size_t kMaxPlistBytes = kMaxFileSize;

// Returns true when `file` is a property list (binary "bplist00" or XML)
// whose root is a dictionary, that Python's plistlib reads, that stays within
// the limits above, and whose every value libplist 2.2 reads as plistlib does
// and writes back unchanged. Returns false otherwise: a malformed binary
// layout, a loop of references, a key that is not a text or holds a NUL, a
// root dictionary that names a key twice, a text with a NUL or that is not
// valid UTF-8 or UTF-16, an empty UTF-16 text (libplist refuses the file), a
// null, fill or set object, a UID of 2^32 or more, an XML file with a
// byte-order mark, another encoding, an entity declaration, a key without a
// value or a value without a key, a number, date or data text not in its
// canonical form, a carriage return in a text (XML readers turn it into a line
// feed, libplist does not), or an element plistlib does not know. On false,
// when `why` is not null, fills it with the rule broken: for XML the first one
// and where (CheckXmlPlist), for a binary file only that it is refused.
bool CheckPlist(std::string_view file, PlistRefusal* why = nullptr);

// Says in words, for a person importing `file`, why CheckPlist refuses it:
// too large, not a property list, a root that is not a dictionary, or else
// the rest of its rules in short. Empty when CheckPlist accepts the file.
std::string DescribeRefusal(std::string_view file);

// Appends code point `code` (at most U+10FFFF, no surrogate) to `out` as
// UTF-8.
void AppendUtf8(std::uint32_t code, std::string& out);

// Returns true when `text` is well-formed UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF).
bool IsUtf8(std::string_view text);

}  // namespace ZQ::RVL::Utils::Preferences
