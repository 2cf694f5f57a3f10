#include "utils/config/PreferenceStore.h"

#include <functional>

#include "utils/config/PosixFile.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

enum class LoadStatus { kOk, kDamaged, kError };

// Reads and parses the dictionary at `location`; a missing file is an empty
// dictionary.
LoadStatus Load(const FileLocation& location, Dictionary& out) {
  std::string bytes;
  switch (ReadWholeFile(location.Path(), kMaxFileSize, bytes)) {
    case ReadStatus::kMissing:
      out.clear();
      return LoadStatus::kOk;
    case ReadStatus::kError:
      return LoadStatus::kError;
    case ReadStatus::kTooLarge:
      return LoadStatus::kDamaged;
    case ReadStatus::kOk:
      break;
  }
  return DecodeDictionary(bytes, out) ? LoadStatus::kOk : LoadStatus::kDamaged;
}

std::optional<Dictionary> LoadForReading(std::string_view domain, Scope scope) {
  FileLocation location;
  if (!LocateDomainFile(domain, scope, location)) return std::nullopt;
  Dictionary dictionary;
  if (Load(location, dictionary) != LoadStatus::kOk) return std::nullopt;
  return dictionary;
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
  const std::optional<Dictionary> dictionary = LoadForReading(domain, scope);
  if (!dictionary) return std::nullopt;
  const auto found = dictionary->find(key);
  if (found == dictionary->end()) return std::nullopt;
  return found->second;
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
  const std::optional<Dictionary> current = LoadForReading(domain, scope);
  if (current && current->count(key) == 0) return true;
  return Modify(domain, scope, [&](Dictionary& dictionary) { return dictionary.erase(key) != 0; });
}

std::optional<std::vector<std::string>> CopyKeyList(std::string_view domain, Scope scope) {
  const std::optional<Dictionary> dictionary = LoadForReading(domain, scope);
  if (!dictionary) return std::nullopt;
  std::vector<std::string> keys;
  keys.reserve(dictionary->size());
  for (const auto& entry : *dictionary) keys.push_back(entry.first);
  return keys;
}

}  // namespace ZQ::RVL::Utils::Preferences
