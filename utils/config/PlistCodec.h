// The on-disk form of one preferences dictionary: a property list whose root
// is a dictionary of key to text (plist string) or bytes (plist data). Writes
// the binary format; reads the binary and the XML format. The only file that
// talks to libplist. Private to utils/config.
//
// Thread-safety: both functions may be called from any thread at once.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

enum class ValueKind {
  kText,   // a plist string; `bytes` holds it as UTF-8
  kBytes,  // plist data
  kOther,  // any other plist value (number, date, array...) written by another
           // program; `bytes` holds it as a binary plist of its own so that it
           // is written back unchanged
};

struct StoredValue {
  ValueKind kind = ValueKind::kText;
  std::string bytes;

  bool operator==(const StoredValue& other) const {
    return kind == other.kind && bytes == other.bytes;
  }
};

// Key to value, listed in byte order of the keys.
using Dictionary = std::map<std::string, StoredValue>;

// Parses `file` (binary or XML property list) into `out`. Returns false, with
// `out` unspecified, when it is not a property list or its root is not a
// dictionary.
bool DecodeDictionary(std::string_view file, Dictionary& out);

// Encodes `dictionary` as a binary property list into `out`. Returns false when
// libplist fails or the result would exceed 4 GiB.
bool EncodeDictionary(const Dictionary& dictionary, std::string& out);

}  // namespace ZQ::RVL::Utils::Preferences
