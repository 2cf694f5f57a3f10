#include "utils/config/store/PreferenceStore.h"

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <variant>

#include "utils/config/store/DecodedFiles.h"
#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PosixFile.h"
#include "utils/config/store/StoreStatus.h"
#include "utils/file/AtomicFile.h"
#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

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

// The status of a file beyond kMaxFileSize (nothing of it read).
ConfigStatus TooLarge(const std::string& path) {
  return ConfigStatus(ConfigError::kOverLimits, 0, path,
                      "larger than " + std::to_string(kMaxFileSize) + " bytes");
}

// The status of a file the reader refused, with the reader's reason.
ConfigStatus Refused(const std::string& path, const PlistRefusal& why) {
  return ConfigStatus(why.overLimits ? ConfigError::kOverLimits : ConfigError::kDamaged, 0, path,
                      why.Text());
}

// Reads the file at `location` into `bytes` (only meaningful after success);
// kNotFound when there is no file.
ConfigStatus ReadBytes(const FileLocation& location, std::string& bytes,
                       struct stat* after = nullptr) {
  const std::string path = location.Path();
  switch (ReadWholeFile(path, kMaxFileSize, bytes, after)) {
    case ReadStatus::kOk:
      return {};
    case ReadStatus::kMissing:
      return ConfigStatus(ConfigError::kNotFound, 0, path);
    case ReadStatus::kTooLarge:
      return TooLarge(path);
    case ReadStatus::kError:
      break;
  }
  return LastSystemFailure(path);
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

// A file as a writer found it: `bytes` (none: no file; empty: too large to
// read), and either `packed`, their layout, or `dictionary`, what they
// decode to.
struct Loaded {
  std::optional<std::string> bytes;
  bool packed = false;
  Dictionary dictionary;
};

// Reads the file at `location` into `loaded`: a missing file is an empty
// dictionary. With `spliceable`, a file found sound and kPacked is not
// decoded (`loaded.packed`). kDamaged or kOverLimits for a file the store
// does not read.
ConfigStatus Load(const FileLocation& location, bool spliceable, Loaded& loaded,
                  struct stat* after) {
  std::optional<std::string>& bytes = loaded.bytes;
  loaded.packed = false;
  loaded.dictionary.clear();
  bytes.emplace();
  const ConfigStatus status = ReadBytes(location, *bytes, after);
  if (status.Error() == ConfigError::kOverLimits) bytes->clear();  // nothing read
  if (status.Error() == ConfigError::kNotFound) {
    bytes.reset();
    return {};
  }
  if (!status.Ok()) return status;
  PlistRefusal why;
  if (const auto kept = FindKept(location.Path(), *bytes)) {
    if (spliceable && kept->layout == PlistLayout::kPacked) {
      loaded.packed = true;
      return {};
    }
    if (kept->dictionary) {
      loaded.dictionary = *kept->dictionary;  // a copy to change: cheaper than a decode
      return {};
    }
  } else if (spliceable) {
    PlistLayout layout = PlistLayout::kOther;
    if (!CheckPlist(*bytes, &why, &layout)) return Refused(location.Path(), why);
    if (layout == PlistLayout::kPacked) {
      loaded.packed = true;
      return {};
    }
  }
  return DecodeDictionary(*bytes, loaded.dictionary, &why) ? ConfigStatus()
                                                           : Refused(location.Path(), why);
}

// True for a file the store does not read: damaged, or beyond the limits.
bool IsDamaged(const ConfigStatus& status) {
  return status.Error() == ConfigError::kDamaged || status.Error() == ConfigError::kOverLimits;
}

// Reads the file of `domain` in `scope` and has `answer` answer from it:
// from a marked file with `answer.FromMarked(bytes)`, which reads only what
// it needs and may decline (false); from the dictionary kept for its bytes
// (this process wrote them) with
// `answer.FromDictionary(dictionary)`; from bytes this process found sound
// before with `answer.FromChecked(bytes, layout)`, which may decline;
// else with `answer.FromFile(bytes, why, layout)`, which checks the whole
// file, decodes what it needs and says why it cannot. No file is an empty
// dictionary, with nothing to ask. Fails when the file cannot be located or
// read, and with kDamaged or kOverLimits when the file is refused.
template <typename Answer>
ConfigStatus ReadAndDecode(std::string_view domain, Scope scope, Answer&& answer) {
  FileLocation location;
  if (ConfigStatus located = LocateFile(domain, scope, location); !located.Ok()) return located;
  std::string bytes;
  const ConfigStatus status = ReadBytes(location, bytes);
  if (status.Error() == ConfigError::kNotFound) return {};
  if (!status.Ok()) return status;
  const std::string path = location.Path();
  if (answer.FromMarked(bytes)) return {};
  if (const auto kept = FindKept(path, bytes)) {
    if (kept->dictionary) {
      answer.FromDictionary(*kept->dictionary);
      return {};
    }
    if (answer.FromChecked(bytes, kept->layout)) return {};
    // Read twice, not in the store's own layout (an XML file, keys out of
    // order...): decoded whole once, so that later reads need no check.
    Dictionary dictionary;
    if (DecodeDictionary(bytes, dictionary)) {
      answer.FromDictionary(dictionary);
      KeepDecoded(path, std::move(bytes), std::move(dictionary));
      return {};
    }
  }
  PlistRefusal why;
  PlistLayout layout = PlistLayout::kOther;
  if (!answer.FromFile(bytes, &why, &layout)) return Refused(path, why);
  KeepChecked(path, std::move(bytes), layout);
  return {};
}

// Looks `key` up in a file, for ReadAndDecode.
struct LookUp {
  const std::string& key;
  std::optional<StoredValue>& value;
  // Checks the whole of a marked file too, as every write does.
  bool wholeFile = false;

  void FromDictionary(const Dictionary& dictionary) const {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
      value.reset();
    } else {
      value = found->second;
    }
  }
  bool FromMarked(const std::string& bytes) const {
    return !wholeFile && LookUpMarked(bytes, key, value);
  }
  bool FromChecked(const std::string& bytes, PlistLayout layout) const {
    if (layout == PlistLayout::kOther) return false;
    LookUpChecked(bytes, key, value);
    return true;
  }
  bool FromFile(const std::string& bytes, PlistRefusal* why, PlistLayout* layout) const {
    return DecodeOneValue(bytes, key, value, why, layout);
  }
};

// Lists the keys of a file, for ReadAndDecode.
struct KeyList {
  std::vector<std::string>& keys;

  void FromDictionary(const Dictionary& dictionary) const {
    keys.reserve(dictionary.size());
    for (const auto& entry : dictionary) keys.push_back(entry.first);
  }
  bool FromMarked(const std::string&) const { return false; }
  bool FromChecked(const std::string&, PlistLayout) const { return false; }
  bool FromFile(const std::string& bytes, PlistRefusal* why, PlistLayout*) const {
    return DecodeKeys(bytes, keys, why);
  }
};

// Answers from the whole dictionary, for ReadAndDecode: `use(dictionary)`.
template <typename Use>
struct Whole {
  Use use;

  void FromDictionary(const Dictionary& dictionary) { use(dictionary); }
  bool FromMarked(const std::string&) { return false; }
  bool FromChecked(const std::string&, PlistLayout) { return false; }
  bool FromFile(const std::string& bytes, PlistRefusal* why, PlistLayout*) {
    Dictionary dictionary;
    if (!DecodeDictionary(bytes, dictionary, why)) return false;
    use(dictionary);
    return true;
  }
};
template <typename Use>
Whole(Use) -> Whole<Use>;

// Returns true when the file at `location` still holds `read` (none: there
// is still no file; empty: it was too large to read).
bool StillUnchanged(const FileLocation& location, const std::optional<std::string>& read) {
  bool same = false;
  switch (
      CompareWholeFile(location.Path(), kMaxFileSize, read ? *read : std::string_view{}, same)) {
    case ReadStatus::kMissing:
      return !read;
    case ReadStatus::kOk:
      return read && same;
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
// `edit`, when not null, is the same change to one entry: a kPacked file is
// then spliced (PlistBinaryWriter.h) rather than decoded and written whole.
// A lock file removed while held lets another writer in beside this one. So
// just before the new file goes into place, a writer checks that its lock
// file is still the one at the lock path (a writer whose lock file was
// removed never commits), and reads the file again: when another writer
// changed it meanwhile (or removed this writer's temporary file as a stray),
// the change is made again from the start, until the lock's deadline.
ConfigStatus Modify(std::string_view domain, Scope scope, const EntryEdit* edit,
                    const std::function<bool(Dictionary&)>& change) {
  FileLocation location;
  if (ConfigStatus located = LocateFile(domain, scope, location); !located.Ok()) return located;
  if (!MakeFolders(location.folder, location.folderMode)) {
    return LastSystemFailure(location.folder);
  }
  const std::string path = location.Path();
  const std::string lockPath = path + ".lock";
  Patience patience(path, lockPath);
  const auto timedOut = [&] { return patience.Timeout(); };
  for (bool again = false;; again = true) {
    if (again && patience.RunOut()) return timedOut();
    ConfigStatus why;
    const FileLock lock = LockExclusive(lockPath, patience, why);
    if (!lock.Held()) return why;
    RemoveStrayTemporaries(location.folder, location.fileName, lock);

    Loaded loaded;
    struct stat readInfo {};
    ConfigStatus status = Load(location, edit != nullptr, loaded, &readInfo);
    // Another program may be rewriting the file in place (open, truncate,
    // write): what looks damaged is set aside only when, after a pause that
    // lets such a writer finish, it reads the same again, nobody changed it
    // meanwhile, and its own times show it unchanged for kQuietTime.
    bool patient = true;
    while (IsDamaged(status) && (patient = !patience.RunOut())) {
      const std::optional<std::string> before = loaded.bytes;
      const struct stat beforeInfo = readInfo;
      std::this_thread::sleep_for(kSettleTime);
      status = Load(location, edit != nullptr, loaded, &readInfo);
      if (IsDamaged(status) && loaded.bytes == before && SameVersion(readInfo, beforeInfo) &&
          QuietFor(readInfo)) {
        break;
      }
    }
    if (!status.Ok() && !IsDamaged(status)) return status;
    const bool damaged = IsDamaged(status);
    if (damaged && !patient) return timedOut();
    const std::optional<std::string>& read = loaded.bytes;

    std::string bytes;
    PlistLayout layout = PlistLayout::kOther;
    Splice spliced = Splice::kDeclined;
    if (!damaged && loaded.packed) {
      spliced = SplicePacked(*read, *edit, bytes);
      if (spliced == Splice::kUnchanged) return {};
      if (spliced == Splice::kDone) {
        layout = PlistLayout::kPacked;
      } else if (PlistRefusal refusal; !DecodeDictionary(*read, loaded.dictionary, &refusal)) {
        return Refused(path, refusal);  // not as found a moment ago: cannot be
      }
    }
    Dictionary& dictionary = loaded.dictionary;
    if (spliced != Splice::kDone) {
      if (damaged) dictionary.clear();
      if (!change(dictionary) && !damaged) return {};
      PlistRefusal refusal;
      if (!EncodeDictionary(dictionary, bytes, PlistFormat::kBinary, &refusal, &layout)) {
        // The reader's limits, or a text the caller gave that is not UTF-8.
        return ConfigStatus(
            refusal.overLimits ? ConfigError::kOverLimits : ConfigError::kBadArgument, 0, path,
            refusal.Text());
      }
    }
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
      ConfigStatus failed = LastSystemFailure(path);
      if (file.Refusal() != nullptr) {
        failed = ConfigStatus(failed.Error(), failed.SystemError(), path, file.Refusal());
      }
      return failed;
    }
    if (!lock.StillAt(lockPath) || !StillUnchanged(location, read)) continue;
    if (damaged && !PreserveDamagedFile(location.folder, location.fileName)) {
      return LastSystemFailure(path);
    }
    if (file.Commit()) {
      if (layout == PlistLayout::kPacked) {
        KeepChecked(path, std::move(bytes), layout);  // the next write splices it
      } else {
        KeepDecoded(path, std::move(bytes), std::move(dictionary));
      }
      return {};
    }
    if (errno != ENOENT) return LastSystemFailure(path);
  }
}

}  // namespace

ConfigStatus LocateFile(std::string_view domain, Scope scope, FileLocation& location) {
  std::string why;
  if (LocateDomainFile(domain, scope, location, &why)) return {};
  return ConfigStatus(
      IsStorableDomain(domain) ? ConfigError::kNoLocation : ConfigError::kBadArgument, 0, {},
      std::move(why));
}

ConfigStatus CopyValue(std::string_view domain, const std::string& key, Scope scope,
                       std::optional<StoredValue>& value) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  value.reset();
  return ReadAndDecode(domain, scope, LookUp{key, value});
}

ConfigStatus SetValue(std::string_view domain, const std::string& key, const StoredValue& value,
                      Scope scope) {
  if (PayloadOf(value).size() > kMaxContentBytes) {
    return ConfigStatus(ConfigError::kOverLimits, 0, {},
                        "the value alone holds more than " + std::to_string(kMaxContentBytes) +
                            " bytes of content");
  }
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  const EntryEdit edit{key, &value};
  return Modify(domain, scope, &edit, [&](Dictionary& dictionary) {
    dictionary[key] = value;
    return true;
  });
}

ConfigStatus RemoveValue(std::string_view domain, const std::string& key, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  // A key that is not there needs no lock and no write (and no folder or lock
  // file is made for a domain that was never written).
  // A Delete is a write: a damaged file is set aside even when the key is
  // not there, so the lookup reads all of a marked file.
  std::optional<StoredValue> current;
  if (ReadAndDecode(domain, scope, LookUp{key, current, true}).Ok() && !current) return {};
  const EntryEdit edit{key, nullptr};
  return Modify(domain, scope, &edit,
                [&](Dictionary& dictionary) { return dictionary.erase(key) != 0; });
}

ConfigStatus CopyKeyList(std::string_view domain, Scope scope, std::vector<std::string>& keys) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  keys.clear();
  ConfigStatus status = ReadAndDecode(domain, scope, KeyList{keys});
  if (!status.Ok()) keys.clear();
  return status;
}

ConfigStatus CopyDictionary(std::string_view domain, Scope scope, Dictionary& out) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  out.clear();
  return ReadAndDecode(domain, scope,
                       Whole{[&](const Dictionary& dictionary) { out = dictionary; }});
}

ConfigStatus ReplaceDictionary(std::string_view domain, const Dictionary& dictionary, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  return Modify(domain, scope, nullptr, [&](Dictionary& current) {
    current = dictionary;
    return true;
  });
}

ConfigStatus ExamineFile(std::string_view domain, Scope scope) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  FileLocation location;
  if (ConfigStatus located = LocateFile(domain, scope, location); !located.Ok()) return located;
  std::string bytes;
  if (ConfigStatus status = ReadBytes(location, bytes); !status.Ok()) return status;
  if (FindKept(location.Path(), bytes)) return {};
  PlistRefusal why;
  PlistLayout layout = PlistLayout::kOther;
  if (!CheckPlist(bytes, &why, &layout)) return Refused(location.Path(), why);
  KeepChecked(location.Path(), std::move(bytes), layout);
  return {};
}

}  // namespace ZQ::RVL::Utils::Preferences
