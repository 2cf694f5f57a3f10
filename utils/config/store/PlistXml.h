// The XML form of a settings file, converted to and from the binary form by
// libplist 2.2: the only file that talks to libplist. Every conversion runs
// inside the C locale on the calling thread (libplist reads and writes reals
// with the C library's locale-dependent conversions), whatever locale the
// host set. Private to the store.
//
// Thread-safety: every function may be called from any thread at once.
#pragma once

#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// Converts `xml`, which CheckXmlPlist (PlistXmlCheck.h) accepted, to a binary
// property list in `binary`. Returns false when libplist fails or no C locale
// can be had (no memory).
bool XmlToBinary(std::string_view xml, std::string& binary);

// Converts `binary`, a binary property list the store's reader accepts, to
// XML in `xml`. Returns false as XmlToBinary does.
bool BinaryToXml(std::string_view binary, std::string& xml);

}  // namespace ZQ::RVL::Utils::Preferences
