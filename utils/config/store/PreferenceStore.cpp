#include "utils/config/store/PreferenceStore.h"

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "utils/config/store/DecodedFiles.h"
#include "utils/config/store/PosixFile.h"
#include "utils/file/AtomicFile.h"
#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

enum class LoadStatus { kOk, kMissing, kDamaged, kError };

// How long a file that does not decode is left to settle before it is read
// again: a program that rewrites a file in place has it half-written for a
// moment.
constexpr std::chrono::milliseconds kSettleTime{50};
// How long a file that does not decode must have gone unchanged (by its own
// times) before it is taken for damaged rather than still being written: a
// writer that pauses half-way (a slow disk, a program between two writes) is
// waited for, up to the lock's deadline, and the write then fails rather than
// set that writer's file aside.
constexpr std::chrono::seconds kQuietTime{1};

// Reads the file at `location` into `bytes` (only meaningful after kOk).
LoadStatus ReadBytes(const FileLocation& location, std::string& bytes,
                     struct stat* after = nullptr) {
  switch (ReadWholeFile(location.Path(), kMaxFileSize, bytes, after)) {
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

// True when `a` and `b`, stats of the file taken after reading it, show the
// same file unchanged in between.
bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// True when `info`, a stat of the file, shows no write for kQuietTime (its
// modification time; one ahead of the clock, from another machine's, counts
// the same).
bool QuietFor(const struct stat& info) {
  struct timespec now {};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
  const long long since = static_cast<long long>(now.tv_sec) - info.st_mtim.tv_sec;
  return since >= kQuietTime.count() + 1 || since <= -(kQuietTime.count() + 1);
}

// Reads and decodes the dictionary at `location` into `out`, keeping the
// bytes read in `bytes` (none: no file); a missing file is an empty
// dictionary.
LoadStatus Load(const FileLocation& location, Dictionary& out, std::optional<std::string>& bytes,
                struct stat* after = nullptr) {
  bytes.emplace();
  const LoadStatus status = ReadBytes(location, *bytes, after);
  if (status == LoadStatus::kDamaged) bytes->clear();  // too large: nothing read
  if (status == LoadStatus::kMissing) {
    bytes.reset();
    out.clear();
    return LoadStatus::kOk;
  }
  if (status != LoadStatus::kOk) return status;
  if (const auto kept = PeekKept(location.Path(), *bytes)) {
    out = *kept;  // a copy to change: cheaper than a parse
    return LoadStatus::kOk;
  }
  return DecodeDictionary(*bytes, out) ? LoadStatus::kOk : LoadStatus::kDamaged;
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

// Returns true when the file at `location` still holds `read` (none: there
// is still no file; empty: it was too large to read).
bool StillUnchanged(const FileLocation& location, const std::optional<std::string>& read) {
  std::string now;
  switch (ReadWholeFile(location.Path(), kMaxFileSize, now)) {
    case ReadStatus::kMissing:
      return !read;
    case ReadStatus::kOk:
      return read && *read == now;
    case ReadStatus::kTooLarge:
      return read && read->empty();
    case ReadStatus::kError:
      break;
  }
  return false;
}

// Applies `change` to the dictionary of `domain` in `scope` under the file's
// lock and writes the result. `change` returns false when it changed nothing;
// the file is then left alone (unless it was damaged: a write starts afresh).
// A lock file removed while held lets another writer in beside this one. So
// just before the new file goes into place, a writer checks that its lock
// file is still the one at the lock path (a writer whose lock file was
// removed never commits), and reads the file again: when another writer
// changed it meanwhile (or removed this writer's temporary file as a stray),
// the change is made again from the start, until the lock's deadline.
bool Modify(std::string_view domain, Scope scope, const std::function<bool(Dictionary&)>& change) {
  FileLocation location;
  if (!LocateDomainFile(domain, scope, location)) return false;
  if (!MakeFolders(location.folder, location.folderMode)) return false;
  const std::string path = location.Path();
  const std::string lockPath = path + ".lock";
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (bool again = false;; again = true) {
    if (again && std::chrono::steady_clock::now() >= deadline) return false;
    const FileLock lock = LockExclusive(lockPath, deadline);
    if (!lock.Held()) return false;
    RemoveStrayTemporaries(location.folder, location.fileName, lock);

    Dictionary dictionary;
    std::optional<std::string> read;
    struct stat readInfo {};
    LoadStatus status = Load(location, dictionary, read, &readInfo);
    // Another program may be rewriting the file in place (open, truncate,
    // write): what looks damaged is set aside only when, after a pause that
    // lets such a writer finish, it reads the same again, nobody changed it
    // meanwhile, and its own times show it unchanged for kQuietTime.
    while (status == LoadStatus::kDamaged && std::chrono::steady_clock::now() < deadline) {
      const std::optional<std::string> before = read;
      const struct stat beforeInfo = readInfo;
      std::this_thread::sleep_for(kSettleTime);
      status = Load(location, dictionary, read, &readInfo);
      if (status == LoadStatus::kDamaged && read == before && SameVersion(readInfo, beforeInfo) &&
          QuietFor(readInfo)) {
        break;
      }
    }
    if (status == LoadStatus::kError) return false;
    const bool damaged = status == LoadStatus::kDamaged;
    if (damaged && std::chrono::steady_clock::now() >= deadline) return false;
    if (damaged) dictionary.clear();
    if (!change(dictionary) && !damaged) return true;

    std::string bytes;
    if (!EncodeDictionary(dictionary, bytes) || bytes.size() > kMaxFileSize) return false;
    const ReplacementMark mark(lock);  // outlives the temporary file
    Utils::internal::AtomicFile file;
    Utils::internal::ReplaceOptions options;
    options.mode = location.fileMode;
    options.newFileTakesFolderOwner = true;
    // Named at once: the next holder of a lock file made anew (the old one
    // removed underneath this writer) removes it as a stray, and this writer
    // then starts again rather than commit beside that holder.
    options.nameFromTheStart = true;
    if (!file.Begin(path, options) || !file.Write(bytes) || !file.Sync()) {
      if (errno == ENOENT) continue;
      return false;
    }
    if (!lock.StillAt(lockPath) || !StillUnchanged(location, read)) continue;
    if (damaged && !PreserveDamagedFile(location.folder, location.fileName)) return false;
    if (file.Commit()) {
      KeepWritten(path, std::move(bytes), std::move(dictionary));
      return true;
    }
    if (errno != ENOENT) return false;
  }
}

}  // namespace

std::optional<StoredValue> CopyValue(std::string_view domain, const std::string& key, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  std::optional<StoredValue> value;
  const LookUp lookUp{key, value};
  if (!ReadAndDecode(domain, scope, lookUp, lookUp)) return std::nullopt;
  return value;
}

bool SetValue(std::string_view domain, const std::string& key, const StoredValue& value,
              Scope scope) {
  if (value.bytes.size() > kMaxFileSize) return false;
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  return Modify(domain, scope, [&](Dictionary& dictionary) {
    dictionary[key] = value;
    return true;
  });
}

bool RemoveValue(std::string_view domain, const std::string& key, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  // A key that is not there needs no lock and no write (and no folder or lock
  // file is made for a domain that was never written).
  std::optional<StoredValue> current;
  const LookUp lookUp{key, current};
  if (ReadAndDecode(domain, scope, lookUp, lookUp) && !current) return true;
  return Modify(domain, scope, [&](Dictionary& dictionary) { return dictionary.erase(key) != 0; });
}

std::optional<std::vector<std::string>> CopyKeyList(std::string_view domain, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
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

std::optional<Dictionary> CopyDictionary(std::string_view domain, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  Dictionary copy;
  const bool read = ReadAndDecode(
      domain, scope,
      [&](const Dictionary& dictionary) {
        copy = dictionary;
        return true;
      },
      [&](const std::string& bytes) { return DecodeDictionary(bytes, copy); });
  if (!read) return std::nullopt;
  return copy;
}

bool ReplaceDictionary(std::string_view domain, const Dictionary& dictionary, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  return Modify(domain, scope, [&](Dictionary& current) {
    current = dictionary;
    return true;
  });
}

}  // namespace ZQ::RVL::Utils::Preferences
