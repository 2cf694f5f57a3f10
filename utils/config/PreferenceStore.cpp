#include "utils/config/PreferenceStore.h"

#include <functional>

#include "utils/config/PosixFile.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

enum class LoadStatus { kOk, kMissing, kDamaged, kError };

// Reads the file at `location` into `bytes` (only meaningful after kOk).
LoadStatus ReadBytes(const FileLocation& location, std::string& bytes) {
  switch (ReadWholeFile(location.Path(), kMaxFileSize, bytes)) {
    case ReadStatus::kOk:
      return LoadStatus::kOk;
    case ReadStatus::kMissing:
      return LoadStatus::kMissing;
    case ReadStatus::kTooLarge:
      return LoadStatus::kDamaged;
    case ReadStatus::kError:
      break;
  }
  return LoadStatus::kError;
}

// Reads and parses the dictionary at `location`; a missing file is an empty
// dictionary.
LoadStatus Load(const FileLocation& location, Dictionary& out) {
  std::string bytes;
  const LoadStatus status = ReadBytes(location, bytes);
  if (status == LoadStatus::kMissing) {
    out.clear();
    return LoadStatus::kOk;
  }
  if (status != LoadStatus::kOk) return status;
  return DecodeDictionary(bytes, out) ? LoadStatus::kOk : LoadStatus::kDamaged;
}

// Runs `decode(bytes)` on the file of `domain` in `scope` when there is one
// (no file: an empty dictionary, nothing to decode). Returns false when the
// file cannot be located, read or decoded.
template <typename Decode>
bool ReadAndDecode(std::string_view domain, Scope scope, Decode decode) {
  FileLocation location;
  if (!LocateDomainFile(domain, scope, location)) return false;
  std::string bytes;
  const LoadStatus status = ReadBytes(location, bytes);
  if (status == LoadStatus::kMissing) return true;
  return status == LoadStatus::kOk && decode(bytes);
}

// Applies `change` to the dictionary of `domain` in `scope` under the file's
// lock and writes the result. `change` returns false when it changed nothing;
// the file is then left alone (unless it was damaged: a write starts afresh).
bool Modify(std::string_view domain, Scope scope, const std::function<bool(Dictionary&)>& change) {
  FileLocation location;
  if (!LocateDomainFile(domain, scope, location)) return false;
  if (!MakeFolders(location.folder, location.folderMode)) return false;
  const FileDescriptor lock = LockExclusive(location.Path() + ".lock", location.fileMode);
  if (!lock.Valid()) return false;
  RemoveStrayTemporaries(location.folder, location.fileName);

  Dictionary dictionary;
  const LoadStatus status = Load(location, dictionary);
  if (status == LoadStatus::kError) return false;
  const bool damaged = status == LoadStatus::kDamaged;
  if (damaged) dictionary.clear();
  if (!change(dictionary) && !damaged) return true;

  std::string bytes;
  if (!EncodeDictionary(dictionary, bytes) || bytes.size() > kMaxFileSize) return false;
  if (damaged && !PreserveDamagedFile(location.folder, location.fileName)) return false;
  return ReplaceFile(location.folder, location.fileName, bytes, location.fileMode);
}

}  // namespace

std::optional<StoredValue> CopyValue(std::string_view domain, const std::string& key, Scope scope) {
  std::optional<StoredValue> value;
  if (!ReadAndDecode(domain, scope,
                     [&](const std::string& bytes) { return DecodeOneValue(bytes, key, value); })) {
    return std::nullopt;
  }
  return value;
}

bool SetValue(std::string_view domain, const std::string& key, const StoredValue& value,
              Scope scope) {
  if (value.bytes.size() > kMaxFileSize) return false;
  return Modify(domain, scope, [&](Dictionary& dictionary) {
    dictionary[key] = value;
    return true;
  });
}

bool RemoveValue(std::string_view domain, const std::string& key, Scope scope) {
  // A key that is not there needs no lock and no write (and no folder or lock
  // file is made for a domain that was never written).
  std::optional<StoredValue> current;
  if (ReadAndDecode(
          domain, scope,
          [&](const std::string& bytes) { return DecodeOneValue(bytes, key, current); }) &&
      !current) {
    return true;
  }
  return Modify(domain, scope, [&](Dictionary& dictionary) { return dictionary.erase(key) != 0; });
}

std::optional<std::vector<std::string>> CopyKeyList(std::string_view domain, Scope scope) {
  std::vector<std::string> keys;
  if (!ReadAndDecode(domain, scope,
                     [&](const std::string& bytes) { return DecodeKeys(bytes, keys); })) {
    return std::nullopt;
  }
  return keys;
}

}  // namespace ZQ::RVL::Utils::Preferences
