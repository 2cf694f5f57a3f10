// The on-disk form of one preferences dictionary: a property list whose root
// is a dictionary of key to text (plist string) or bytes (plist data), and
// the values of other programs kept as they are. One reader decides what the
// store accepts and decodes it in the same pass (PlistReader.cpp over the
// binary object table, PlistObjectTable.h); an XML file is converted to the
// binary form first (PlistXml.h), and the result passes the same reader. The
// store writes the binary form itself (PlistBinaryWriter.h). Private to the
// store.
//
// Thread-safety: every function may be called from any thread at once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "utils/config/store/PlistRules.h"

namespace ZQ::RVL::Utils::Preferences {

// A plist string, as UTF-8 without a NUL.
struct TextValue {
  std::string text;
};

// Plist data.
struct BytesValue {
  std::string bytes;
};

// Any other value of another program (a number, date, array, nested
// dictionary, UID...): a binary property list of its own whose top object is
// the value, copied into the file unchanged when the store rewrites it.
struct ForeignValue {
  std::string plist;
};

using StoredValue = std::variant<TextValue, BytesValue, ForeignValue>;

// The bytes `value` holds: the text, the bytes, or the other program's
// property list.
inline const std::string& PayloadOf(const StoredValue& value) {
  struct Payload {
    const std::string& operator()(const TextValue& v) const { return v.text; }
    const std::string& operator()(const BytesValue& v) const { return v.bytes; }
    const std::string& operator()(const ForeignValue& v) const { return v.plist; }
  };
  return std::visit(Payload{}, value);
}

// Key to value, listed in byte order of the keys.
using Dictionary = std::map<std::string, StoredValue>;

// Every decoder returns false when the store does not accept `file`, and then
// says why in `why` (when not null): the one rule broken and where. The store
// accepts a binary ("bplist00") or XML property list whose root is a
// dictionary, that Python's plistlib reads, that stays within the limits of
// PlistRules.h, and whose every value the store can write back unchanged (see
// doc/preferences-layout.md for the rules).

// How a file the store accepts is laid out, each a narrower kind of the one
// before:
// - kOther: any.
// - kFlat: a binary root dictionary of plain ASCII keys in rising byte order,
//   every value a leaf (a text, bytes, a number...): a lookup searches it
//   without reading the other keys (LookUpChecked).
// - kPacked: kFlat as the store writes it: the root is object 0 at the first
//   byte, its keys are objects 1 to n in order, the values' objects follow,
//   and all lie back to back in index order. The store changes one entry of
//   such a file by copying the rest (PlistBinaryWriter.h: SplicePacked).
// The store's writer marks the files it lays out kPacked (kStoreMark in the
// trailer, which other readers ignore): a marked file promises that layout
// and the limits of PlistRules.h, and one that breaks its promise is
// refused as damaged. LookUpMarked trusts the promise.
enum class PlistLayout { kOther, kFlat, kPacked };

// Decodes the whole of `file` into `out` (unspecified on false).
bool DecodeDictionary(std::string_view file, Dictionary& out, PlistRefusal* why = nullptr);

// Returns true when DecodeDictionary would accept `file`, without keeping
// what it decodes; `layout` (when not null) then says how it is laid out.
bool CheckPlist(std::string_view file, PlistRefusal* why = nullptr, PlistLayout* layout = nullptr);

// Finds `key` in `file`: `out` holds its value, or nothing when the key is
// not there. Checks the whole file as DecodeDictionary does (so it fails
// exactly when that does) but decodes only the one value. On success,
// `layout` (when not null) says how the file is laid out.
bool DecodeOneValue(std::string_view file, const std::string& key, std::optional<StoredValue>& out,
                    PlistRefusal* why = nullptr, PlistLayout* layout = nullptr);

// Finds `key` in `file`, which DecodeOneValue accepted before and found
// kFlat or kPacked, without checking it again: a binary search over its keys.
void LookUpChecked(std::string_view file, const std::string& key, std::optional<StoredValue>& out);

// Finds `key` in a file that carries kStoreMark, reading only what the
// search needs: the trailer, the keys a binary search compares, the key
// after the one found (a key named twice would be there) and its value, each
// checked as DecodeOneValue checks it and found where the packed layout puts
// it (right after the object before it, right before the one after), so that
// the cost does not grow with the file. The rest of the file is taken on its promise. Returns
// false, with `out` unspecified, when the file is unmarked, larger than kMaxContentBytes, or
// anything read breaks the promise: DecodeOneValue then reads the whole file and says why.
bool LookUpMarked(std::string_view file, const std::string& key, std::optional<StoredValue>& out);

// Lists the keys of `file` into `out`, in byte order; checks the whole file.
bool DecodeKeys(std::string_view file, std::vector<std::string>& out, PlistRefusal* why = nullptr);

// Returns true when `a` and `b` hold the same value: equal texts or bytes,
// or values of other programs that plistlib would read as equal, whatever
// their layout (texts of either form, numbers of any width; reals and dates
// to the bit, so -0.0 is not 0.0).
bool SameValue(const StoredValue& a, const StoredValue& b);

// What kind `value` is, in words: "a boolean", "an integer", "a real", "a
// date", "an array", "a dictionary", "a UID" or "a text".
std::string KindOf(const ForeignValue& value);

// The type of the top object of `value` (a marker's high nibble: 0x0
// booleans, 0x1 integers, 0x2 reals, 0x3 dates, 0x4 data, 0x5 and 0x6 texts,
// 0x8 UIDs, 0xA arrays, 0xD dictionaries).
unsigned TypeOf(const ForeignValue& value);

// Appends `text` to `out` as a JSON string: quotes, backslashes, every
// control character (C0, DEL and C1), the line and paragraph separators and
// the controls of bidirectional text escaped, and each byte that is not part
// of well-formed UTF-8 as \ufffd, so that no text can end the string, forge a
// line, reorder one or reach a terminal as a control.
void AppendJsonString(std::string_view text, std::string& out);

// Appends `bytes` to `out` as a JSON string of lower-case hex digits.
void AppendJsonHex(std::string_view bytes, std::string& out);

// `value` in JSON: integers and reals as numbers (a real in the shortest form
// that reads back to its bits; NaN and the infinities, which JSON has no
// number for, as the strings "NaN", "Infinity" and "-Infinity"), booleans,
// dates as strings "YYYY-MM-DDTHH:MM:SSZ" in UTC (fractions of a second
// after a point), texts as strings, data as a string of hex digits, UIDs as
// {"UID": n}, arrays and dictionaries as such. Whatever the host's locale.
std::string JsonOf(const ForeignValue& value);

enum class PlistFormat { kBinary, kXml };

// Encodes `dictionary` as a property list in `format` (the store's own files
// are binary) into `out`. Returns false, saying why in `why` when not null,
// when a key or text holds a NUL or is not UTF-8, the result exceeds the
// limits of PlistRules.h, or, in XML, a value would read back otherwise (a
// date with fractions of a second or before the year 1000, -0.0 or an
// infinity, a UID, a text with a carriage return, a control character,
// U+FFFE or U+FFFF).
// In binary, `layout` (when not null) says how the result is laid out.
bool EncodeDictionary(const Dictionary& dictionary, std::string& out,
                      PlistFormat format = PlistFormat::kBinary, PlistRefusal* why = nullptr,
                      PlistLayout* layout = nullptr);

}  // namespace ZQ::RVL::Utils::Preferences
