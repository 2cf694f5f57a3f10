#include "utils/config/store/PreferenceStore.h"

#include <functional>
#include <memory>
#include <optional>

#include "utils/config/store/DecodedFiles.h"
#include "utils/config/store/PosixFile.h"

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

// Reads and decodes the dictionary at `location` into `out`; a missing file
// is an empty dictionary.
LoadStatus Load(const FileLocation& location, Dictionary& out) {
  std::string bytes;
  const LoadStatus status = ReadBytes(location, bytes);
  if (status == LoadStatus::kMissing) {
    out.clear();
    return LoadStatus::kOk;
  }
  if (status != LoadStatus::kOk) return status;
  if (const auto kept = PeekKept(location.Path(), bytes)) {
    out = *kept;  // a copy to change: cheaper than a parse
    return LoadStatus::kOk;
  }
  return DecodeDictionary(bytes, out) ? LoadStatus::kOk : LoadStatus::kDamaged;
}

// Reads the file of `domain` in `scope` and answers from its kept dictionary
// with `fromDictionary(const Dictionary&)`, or, when there is none (bytes new
// to this process, or a file that does not decode as a whole), with
// `fromFile(bytes)`, which decodes only what it needs (one broken value of
// another program does not hide the others). No file is an empty dictionary,
// with nothing to ask. Returns false when the file cannot be
// located or read, or the answer fails.
template <typename FromDictionary, typename FromFile>
bool ReadAndDecode(std::string_view domain, Scope scope, FromDictionary fromDictionary,
                   FromFile fromFile) {
  FileLocation location;
  if (!LocateDomainFile(domain, scope, location)) return false;
  std::string bytes;
  const LoadStatus status = ReadBytes(location, bytes);
  if (status == LoadStatus::kMissing) return true;
  if (status != LoadStatus::kOk) return false;
  if (const auto dictionary = FindKept(location.Path(), bytes)) return fromDictionary(*dictionary);
  return fromFile(bytes);
}

// Looks `key` up in a file's dictionary, for ReadAndDecode.
struct LookUp {
  const std::string& key;
  std::optional<StoredValue>& value;

  bool operator()(const Dictionary& dictionary) const {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
      value.reset();
    } else {
      value = found->second;
    }
    return true;
  }
  bool operator()(const std::string& bytes) const { return DecodeOneValue(bytes, key, value); }
};

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
  const LookUp lookUp{key, value};
  if (!ReadAndDecode(domain, scope, lookUp, lookUp)) return std::nullopt;
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
  const LookUp lookUp{key, current};
  if (ReadAndDecode(domain, scope, lookUp, lookUp) && !current) return true;
  return Modify(domain, scope, [&](Dictionary& dictionary) { return dictionary.erase(key) != 0; });
}

std::optional<std::vector<std::string>> CopyKeyList(std::string_view domain, Scope scope) {
  std::vector<std::string> keys;
  const bool read = ReadAndDecode(
      domain, scope,
      [&](const Dictionary& dictionary) {
        keys.reserve(dictionary.size());
        for (const auto& entry : dictionary) keys.push_back(entry.first);
        return true;
      },
      [&](const std::string& bytes) { return DecodeKeys(bytes, keys); });
  if (!read) return std::nullopt;
  return keys;
}

}  // namespace ZQ::RVL::Utils::Preferences
