// The on-disk form of one preferences dictionary: a property list whose root
// is a dictionary of key to text (plist string) or bytes (plist data). Reads
// and writes the binary and the XML format (the binary one is written by
// PlistBinaryWriter.h). The only file that talks to libplist. Private to the
// store.
//
// Thread-safety: every function may be called from any thread at once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZQ::RVL::Utils::Preferences {

enum class ValueKind {
  kText,   // a plist string, as UTF-8
  kBytes,  // plist data
  kOther,  // any other plist value (number, date, array...) of another program
};

struct StoredValue {
  ValueKind kind = ValueKind::kText;
  std::string bytes;  // the text or the bytes; empty for kOther
  // kOther only: the value as a binary plist of its own, written back
  // unchanged.
  std::string original;
};

// Key to value, listed in byte order of the keys.
using Dictionary = std::map<std::string, StoredValue>;

// Parses `file` (binary or XML property list) into `out`. Returns false, with
// `out` unspecified, when CheckPlist (PlistCheck.h) refuses the file: it is not
// a property list whose root is a dictionary, it exceeds the store's limits,
// or libplist could not carry one of its values over unchanged.
bool DecodeDictionary(std::string_view file, Dictionary& out);

// Finds `key` in the dictionary in `file`: `out` holds its value, or nothing
// when the key is not there. Returns false, as DecodeDictionary does, when the
// file cannot be parsed.
bool DecodeOneValue(std::string_view file, const std::string& key, std::optional<StoredValue>& out);

// Lists the keys of the dictionary in `file` into `out`, in byte order without
// repeats. Returns false when the file cannot be parsed.
bool DecodeKeys(std::string_view file, std::vector<std::string>& out);

enum class PlistFormat { kBinary, kXml };

// Encodes `dictionary` as a property list in `format` (the store's own files
// are binary) into `out`. Returns false when a key or text holds a NUL
// (libplist would cut it short) or is not UTF-8, libplist fails, or DecodeDictionary
// would refuse the result (it exceeds the limits of PlistCheck.h), or, in XML,
// would read back otherwise (a date with fractions of a second or before the
// year 1000, -0.0 or an infinity, a UID, a text with a carriage return, a
// control character, U+FFFE or U+FFFF).
bool EncodeDictionary(const Dictionary& dictionary, std::string& out,
                      PlistFormat format = PlistFormat::kBinary);

}  // namespace ZQ::RVL::Utils::Preferences
