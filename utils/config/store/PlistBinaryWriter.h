// Writes a preferences dictionary as a binary property list ("bplist00") in
// one pass, without building libplist's tree: libplist 2.2 looks each new key
// up among all the others and allocates a node per object, so its cost grows
// with the square of the key count. Private to the store.
//
// Thread-safety: a pure function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PlistObjectTable.h"

namespace ZQ::RVL::Utils::Preferences {

// Writes `dictionary` into `out`: the root dictionary, its keys in order,
// then its values; with kStoreMark when every key is plain ASCII and every
// value a leaf (PlistLayout::kPacked). A text goes as ASCII when every byte is below 0x80, else as
// UTF-16; a value of another program (ForeignValue) is copied with
// all of its objects, which keep their sharing and their own bytes. Equal
// texts are written once, within and across values, so a file that shares one
// text many times (accepted: texts count against kMaxContentBytes only) keeps
// its size when it is rewritten. Returns false, with `out` unspecified, when
// a key or text is not UTF-8 or holds a NUL, or an original is not a binary
// property list of known object types.
bool WriteBinaryDictionary(const Dictionary& dictionary, std::string& out);

// One change to a root entry: `value` stored under `key`, or `key` removed
// when `value` is null.
struct EntryEdit {
  const std::string& key;
  const StoredValue* value = nullptr;
};

enum class Splice { kDone, kUnchanged, kDeclined };

// Writes into `out` the file `packed`, which the reader accepted as
// PlistLayout::kPacked, with `edit` made: every other object is copied byte
// for byte, references and offsets are renumbered, and the result is kPacked
// and carries kStoreMark. A value object no other key refers to goes with
// its key. kUnchanged (`out` untouched) when the edit removes a key that is
// not there. kDeclined, `out` unspecified, when the splice cannot vouch for
// the result at its cost: a value of another program, a key that is not
// plain ASCII, a text that is not UTF-8 or holds a NUL, or a result that
// might break a limit of PlistRules.h; the caller then decodes the file and
// encodes it whole, which decides, and says why.
Splice SplicePacked(std::string_view packed, const EntryEdit& edit, std::string& out);

// Writes into `out` a binary property list of its own holding object `top`
// of `table` and every object it refers to, each once (so shared objects stay
// shared), leaves byte for byte: a ForeignValue. Returns false when `table`
// is malformed where the walk goes (the reader checks it first).
bool WriteValueOf(const PlistObjectTable& table, std::uint64_t top, std::string& out);

}  // namespace ZQ::RVL::Utils::Preferences
