#include "utils/file/AtomicFile.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/file/File.h"
#include "utils/file/FileCalls.h"

namespace ZQ::RVL::Utils::internal {

namespace {

constexpr int kMaxNameAttempts = 100;

// The named temporary files not yet committed, for RemoveTemporariesNow():
// fixed slots, so that a signal handler can walk them without a lock.
struct TemporarySlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled or emptied, 2 a file to remove
  int folder = -1;
  char name[NAME_MAX + 1] = {};
};
constexpr int kTemporarySlots = 16;
TemporarySlot gTemporaries[kTemporarySlots];

int RegisterTemporary(int folder, const std::string& name) {
  for (int i = 0; i < kTemporarySlots; ++i) {
    int expected = 0;
    if (!gTemporaries[i].state.compare_exchange_strong(expected, 1)) continue;
    gTemporaries[i].folder = folder;
    std::memcpy(gTemporaries[i].name, name.c_str(), name.size() + 1);
    gTemporaries[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;  // more at once than slots: an interrupt leaves that one
}

void UnregisterTemporary(int& slot) {
  if (slot < 0) return;
  int expected = 2;
  if (gTemporaries[slot].state.compare_exchange_strong(expected, 1)) {
    gTemporaries[slot].state.store(0, std::memory_order_release);
  }
  slot = -1;
}

// The start of a temporary name of `fileName`: as much of the name as leaves
// room for the infix and the suffix within NAME_MAX.
std::string_view TemporaryStem(std::string_view fileName) {
  constexpr std::size_t kRoom = NAME_MAX - kTemporaryInfix.size() - kTemporarySuffixLength;
  return fileName.substr(0, kRoom);
}

std::string TemporaryName(const std::string& fileName) {
  return std::string(TemporaryStem(fileName)) + std::string(kTemporaryInfix) +
         RandomNameSuffix(kTemporarySuffixLength);
}

}  // namespace

bool IsTemporaryName(std::string_view entry, std::string_view fileName) {
  const std::string_view stem = TemporaryStem(fileName);
  const std::size_t prefixLength = stem.size() + kTemporaryInfix.size();
  if (entry.size() != prefixLength + kTemporarySuffixLength) return false;
  if (entry.substr(0, stem.size()) != stem) return false;
  if (entry.substr(stem.size(), kTemporaryInfix.size()) != kTemporaryInfix) return false;
  for (char c : entry.substr(prefixLength)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

void RemoveTemporariesNow() {
  for (TemporarySlot& slot : gTemporaries) {
    int expected = 2;
    if (slot.state.compare_exchange_strong(expected, 1)) {
      ::unlinkat(slot.folder, slot.name, 0);
      slot.state.store(0, std::memory_order_release);
    }
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_ && !temporaryName_.empty()) files::Unlink(folder_.Get(), temporaryName_.c_str());
  UnregisterTemporary(registered_);
}

bool AtomicFile::Fail(int error, const char* why) {
  refusal_ = why;
  errno = error;
  return false;
}

bool AtomicFile::Begin(const std::string& path, const ReplaceOptions& options) {
  const char* refusal = nullptr;
  if (!LocateEntry(path, options.followOwnLinks, folder_, name_, refusal)) {
    return Fail(errno, refusal);
  }
  if (files::Stat(folder_.Get(), folderInfo_) != 0) return false;
  if (name_ == "." || name_ == "..") return Fail(EISDIR, "it is a folder");
  struct stat info {};
  if (files::StatAt(folder_.Get(), name_.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) return Fail(ELOOP, "it is a symbolic link");
    if (S_ISDIR(info.st_mode)) return Fail(EISDIR, "it is a folder");
    if (!S_ISREG(info.st_mode)) return Fail(EINVAL, "it is not a regular file");
    if (OthersFileInSharedFolder(info, folderInfo_)) {
      return Fail(EACCES, "it belongs to another user in a shared folder");
    }
    if (options.requireWritable && files::AccessAt(folder_.Get(), name_.c_str(), W_OK,
                                                   AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
      return Fail(errno, errno == EACCES ? "it is read-only" : nullptr);
    }
    if (options.refuseOtherNames && info.st_nlink > 1) {
      return Fail(EMLINK, "it has other names (hard links) that a replacement would split off");
    }
    existing_ = info;
  } else if (errno != ENOENT) {
    return false;
  }

  keepOwner_ = options.keepOwner;
  takeFolderOwner_ = options.newFileTakesFolderOwner;
  if (options.mode) {
    mode_ = *options.mode & options.modeLimit;
  } else if (existing_) {
    mode_ = existing_->st_mode & 0777 & options.modeLimit;
  }
  // A new file without a given mode is made 0666 (narrowed) and the kernel
  // applies the umask, which the library never changes (not even to read it).
  return MakeTemporary(mode_ ? 0600 : (0666 & options.modeLimit), options.nameFromTheStart);
}

bool AtomicFile::MakeTemporary(mode_t createMode, bool named) {
  // An unnamed file gets its name through /proc/self/fd (or, for root,
  // AT_EMPTY_PATH): without /proc (a chroot), a normal user could never
  // commit one.
  struct stat proc {};
  if (!named && (::geteuid() == 0 || files::StatAt(AT_FDCWD, "/proc/self/fd", proc, 0) == 0)) {
    file_ = FileDescriptor(files::Open(folder_.Get(), ".", O_TMPFILE | O_RDWR, createMode));
    if (file_.Valid()) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
  // No unnamed files on this file system: a named one, removed on failure,
  // by the destructor, or by RemoveTemporariesNow() on a signal.
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::string name = TemporaryName(name_);
    // Known to RemoveTemporariesNow() before the name exists, so that no
    // signal finds it made and unknown.
    registered_ = RegisterTemporary(folder_.Get(), name);
    file_ = FileDescriptor(files::Open(folder_.Get(), name.c_str(),
                                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, createMode));
    if (file_.Valid()) {
      temporaryName_ = std::move(name);
      return true;
    }
    const int error = errno;
    UnregisterTemporary(registered_);
    errno = error;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool AtomicFile::Write(std::string_view bytes) {
  return WriteAll(file_.Get(), bytes);
}

bool AtomicFile::Sync() {
  if (synced_) return true;
  if (!file_.Valid()) {
    errno = EBADF;
    return false;
  }
  // Owner first: fchown clears set-id bits. A normal user may not give a
  // file away; the file then stays theirs, with the mode below.
  // Where the file system has no owners to give (some FUSE file systems),
  // the file stays this process's.
  if (existing_ && keepOwner_ && ::geteuid() == 0) {
    files::ChangeOwner(file_.Get(), existing_->st_uid, existing_->st_gid);
  } else if (!existing_ && takeFolderOwner_ && ::geteuid() == 0 && folderInfo_.st_uid != 0) {
    files::ChangeOwner(file_.Get(), folderInfo_.st_uid, folderInfo_.st_gid);
  }
  if (mode_ && files::ChangeMode(file_.Get(), *mode_) != 0) return false;
  if (files::Sync(file_.Get()) != 0 || files::Stat(file_.Get(), ours_) != 0) return false;
  // The name comes now, not in Commit(): a caller that checks, after Sync(),
  // that it still may replace the file then has nothing left but the rename.
  if (temporaryName_.empty()) {
    // Give the unnamed file a temporary name through its descriptor, never
    // by a path another user could swap.
    const std::string self = "/proc/self/fd/" + std::to_string(file_.Get());
    for (int attempt = 0; attempt < kMaxNameAttempts && temporaryName_.empty(); ++attempt) {
      std::string name = TemporaryName(name_);
      registered_ = RegisterTemporary(folder_.Get(), name);  // before the name exists
      int linked =
          files::Link(AT_FDCWD, self.c_str(), folder_.Get(), name.c_str(), AT_SYMLINK_FOLLOW);
      if (linked != 0 && errno == ENOENT) {  // no /proc: needs CAP_DAC_READ_SEARCH
        linked = files::Link(file_.Get(), "", folder_.Get(), name.c_str(), AT_EMPTY_PATH);
      }
      if (linked == 0) {
        temporaryName_ = std::move(name);
      } else {
        const int error = errno;
        UnregisterTemporary(registered_);
        errno = error;
        if (errno != EEXIST) return false;
      }
    }
    if (temporaryName_.empty()) return false;
  }
  // The name is checked to be our file. (A file swapped in under our
  // temporary name is removed with it: whoever swapped it may write the
  // folder anyway.)
  struct stat named {};
  if (files::StatAt(folder_.Get(), temporaryName_.c_str(), named, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (!SameFile(named, ours_)) {
    errno = ESTALE;
    return false;
  }
  synced_ = true;
  return true;
}

bool AtomicFile::Commit() {
  if (!Sync()) return false;
  if (files::Rename(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name_.c_str()) != 0) {
    return false;
  }
  committed_ = true;
  UnregisterTemporary(registered_);
  if (!file_.Close()) return false;
  struct stat named {};
  if (files::StatAt(folder_.Get(), name_.c_str(), named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(named, ours_)) {
    errno = ESTALE;
    return false;
  }
  // Without this the rename itself could be lost in a crash.
  return files::Sync(folder_.Get()) == 0;
}

}  // namespace ZQ::RVL::Utils::internal
