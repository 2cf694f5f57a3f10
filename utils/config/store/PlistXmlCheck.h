// The XML half of CheckPlist (PlistCheck.h): a property list in XML that
// Python's plistlib reads and that libplist 2.2 reads the same way, within the
// store's limits. Private to the store.
//
// Thread-safety: a pure function.
#pragma once

#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// Returns true when `file` is UTF-8 XML without a byte-order mark or entity
// declarations holding one <plist> whose value is a dictionary, every element
// of which is a known one in its canonical form (see CheckPlist), nested at
// most kMaxPlistNesting deep, with at most kMaxPlistEntries entries and no key
// named twice in the root. Checks without recursing deeper than the nesting
// limit.
bool CheckXmlPlist(std::string_view file);

}  // namespace ZQ::RVL::Utils::Preferences
