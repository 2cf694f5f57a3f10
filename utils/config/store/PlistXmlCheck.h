// The XML check of the store's reader (PlistCodec.h): a property list in XML that
// Python's plistlib reads and that libplist 2.2 reads the same way, within the
// store's limits. Private to the store.
//
// Thread-safety: a pure function.
#pragma once

#include <string_view>

#include "utils/config/store/PlistRules.h"

namespace ZQ::RVL::Utils::Preferences {

// Returns true when `file` is XML 1.0 as Python's plistlib (expat) reads it,
// in UTF-8 without a byte-order mark, starting with "<?xml" or "<plist", whose
// root is a dictionary (inside <plist> or alone), every element of which is a
// known one in its canonical form (see doc/preferences-layout.md), nested at most
// kMaxPlistNesting deep, with at most kMaxPlistEntries entries and no key
// named twice in the root. Comments and processing instructions may stand
// between elements, comments inside texts other than data; names are ASCII,
// and a DOCTYPE has no internal subset (where entities would be declared).
// Returns false otherwise, and then, when `why` is not null, fills it with the
// first rule the file breaks and where. Checks in one pass, without recursing
// deeper than the nesting limit.
bool CheckXmlPlist(std::string_view file, PlistRefusal* why = nullptr);

}  // namespace ZQ::RVL::Utils::Preferences
