// The preferences service that Config stores its settings in: one persistent
// dictionary of key to text-or-bytes value per domain, user scope and host
// scope, kept as one property-list file each (see PreferencePaths.h and
// doc/preferences-layout.md). Private to the store.
//
// Every call works on the file itself: a write is durable (fsynced) and visible
// to every process when it returns, and a read reads the file as it is on disk
// at that moment (a dictionary decoded before from the very same bytes is
// reused, see DecodedFiles.h; nothing else is remembered). The synchronize
// step of a preferences service is thus part of each call. Writers in any thread or process are
// serialised by an flock on `<file>.lock`, waited for at most kLockWait (a
// write that does not get it stores nothing); readers never lock and see a
// whole old or a whole new file. No call is under way across a fork, and no
// call can be cancelled (the store's gate: utils/runtime/CallGate.h). A file that cannot be parsed
// is never overwritten or deleted: reads of it fail, and the next write gives it the extra name
// `<file>.corrupt-<UTC time>` before it starts the domain afresh.
//
// Thread-safety: every function may be called from any thread at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PreferencePaths.h"

namespace ZQ::RVL::Utils::Preferences {

// The largest file the store reads or writes. A larger file is treated as
// damaged; a write that would make one stores nothing.
constexpr std::size_t kMaxFileSize = 64u << 20;

// Returns the value stored under `key` in `domain`'s dictionary for `scope`;
// nothing when there is none, the file cannot be read or parsed, or the domain
// cannot be stored.
std::optional<StoredValue> CopyValue(std::string_view domain, const std::string& key, Scope scope);

// Stores `value` under `key`, replacing what was there. Returns false, with
// every file as it was (a damaged file keeps its bytes under either name), when
// the domain cannot be stored, the process may not write there, the file would
// exceed kMaxFileSize or any file operation fails.
bool SetValue(std::string_view domain, const std::string& key, const StoredValue& value,
              Scope scope);

// Removes `key`; removing a key that is not there succeeds without writing.
// Fails as SetValue does.
bool RemoveValue(std::string_view domain, const std::string& key, Scope scope);

// Returns the keys of the dictionary in byte order (an empty list when there
// is no file yet); nothing when the file cannot be read or parsed or the
// domain cannot be stored.
std::optional<std::vector<std::string>> CopyKeyList(std::string_view domain, Scope scope);

// Returns the whole dictionary (empty when there is no file yet); nothing
// when the file cannot be read or parsed or the domain cannot be stored.
std::optional<Dictionary> CopyDictionary(std::string_view domain, Scope scope);

// Replaces the whole dictionary with `dictionary` in one write, under the
// lock as SetValue writes (a damaged file is kept under its extra name
// first). Fails as SetValue does, also when `dictionary` cannot be encoded
// (see EncodeDictionary).
bool ReplaceDictionary(std::string_view domain, const Dictionary& dictionary, Scope scope);

}  // namespace ZQ::RVL::Utils::Preferences
