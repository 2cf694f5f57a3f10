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
// serialised by an flock on `<file>.lock`, waited for while the writers
// make progress (PosixFile.h: Patience; a write that gives up stores nothing
// and says kLockTimeout); readers never lock and see a
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

#include "utils/config/ConfigStatus.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PlistRules.h"
#include "utils/config/store/PreferencePaths.h"

namespace ZQ::RVL::Utils::Preferences {

// Every function returns the status of the call (ConfigStatus.h); any failure
// leaves every file as it was (a damaged file keeps its bytes under either
// name). Common failures: kBadArgument (the domain cannot name a file),
// kNoLocation, kPermission, kNotAFile, kNoSpace, kSystem; reads also
// kDamaged and kOverLimits (the file is not one the store reads); writes also
// kLockTimeout and kOverLimits (the file would exceed kMaxFileSize or the
// entry limits).

// Finds the file of `domain` in `scope`: kBadArgument when the domain cannot
// name a file, kNoLocation when the store has no place; the detail says why.
ConfigStatus LocateFile(std::string_view domain, Scope scope, FileLocation& location);

// Finds the value stored under `key` in `domain`'s dictionary for `scope`:
// `value` holds it, or nothing when there is none (no file: none either).
ConfigStatus CopyValue(std::string_view domain, const std::string& key, Scope scope,
                       std::optional<StoredValue>& value);

// Stores `value` under `key`, replacing what was there.
ConfigStatus SetValue(std::string_view domain, const std::string& key, const StoredValue& value,
                      Scope scope);

// Removes `key`; removing a key that is not there succeeds without writing.
ConfigStatus RemoveValue(std::string_view domain, const std::string& key, Scope scope);

// Lists the keys of the dictionary in byte order into `keys` (none when there
// is no file yet).
ConfigStatus CopyKeyList(std::string_view domain, Scope scope, std::vector<std::string>& keys);

// Copies the whole dictionary into `out` (empty when there is no file yet).
ConfigStatus CopyDictionary(std::string_view domain, Scope scope, Dictionary& out);

// Replaces the whole dictionary with `dictionary` in one write, under the
// lock as SetValue writes (a damaged file is kept under its extra name
// first); also kOverLimits when `dictionary` cannot be encoded (see
// EncodeDictionary).
ConfigStatus ReplaceDictionary(std::string_view domain, const Dictionary& dictionary, Scope scope);

// Reads the file of `domain` in `scope` without decoding more than it must:
// kNone when it is there and readable, kNotFound when there is none, else why
// it cannot be read.
ConfigStatus ExamineFile(std::string_view domain, Scope scope);

}  // namespace ZQ::RVL::Utils::Preferences
