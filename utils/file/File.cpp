#include "utils/file/File.h"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "utils/file/FileCalls.h"

namespace ZQ::RVL::Utils::internal {

namespace {

// Opens without blocking (a FIFO or a device with nobody at the other end
// would hang a plain open) and never as the controlling terminal.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool Refuse(OpenedFile& out, int error, const char* why) {
  out.fd.Close();
  out.refusal = why;
  errno = error;
  return false;
}

// Checks the kind of the file just opened against `kinds`.
bool KindAllowed(OpenedFile& out, unsigned kinds) {
  const unsigned kind = KindOf(out.info.st_mode);
  if ((kinds & kind) != 0) return true;
  if (kind == kFolderKind) return Refuse(out, EISDIR, "it is a folder");
  if (kind == kFifoKind) return Refuse(out, EINVAL, "it is a FIFO, not a regular file");
  if (kind == kCharacterDevice) return Refuse(out, EINVAL, "it is a device, not a regular file");
  return Refuse(out, EINVAL, "it is not a regular file");
}

// Clears O_NONBLOCK again once the open is done: reads and writes of a FIFO
// or a device then wait for data as the caller expects.
bool Blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A folder every user may write to and only owners remove from (sticky,
// like /tmp): where another user's entries are planted.
bool SharedFolder(const struct stat& folder) {
  return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

// Whether a link found in `folder` may be followed: the kernel's
// protected_symlinks rule, kept whether or not it is on. In a folder every
// user may write to and only owners remove from (sticky, like /tmp), a link
// is followed only when it is ours or the folder owner's: another user's
// link there could lead our files anywhere.
bool MayFollow(const struct stat& link, const struct stat& folder) {
  return !SharedFolder(folder) || link.st_uid == ::geteuid() || link.st_uid == folder.st_uid;
}

constexpr long kProcFileSystem = 0x9fa0;  // PROC_SUPER_MAGIC
constexpr int kMostLinks = 40;            // as the kernel's ELOOP

// Where a path leads: the folder holding its last entry and that entry's
// name, to open relative to the folder with O_NOFOLLOW (or, with `follow`,
// a link of /proc that only the kernel can follow: /proc/self/fd/N).
struct Place {
  FileDescriptor folder;
  std::string name;
  bool follow = false;
};

// What Walk does with a link as the last entry: keeps it as the entry, or
// follows it by MayFollow, or (for a replacement) only when it is this user's
// or root's.
enum class LastLink { kKeep, kFollow, kFollowOwn };

// Walks `path` one entry at a time, as the kernel would (".." is the
// physical parent), but following each link only when MayFollow allows it;
// the last entry's link as `last` says. Refusals set `refusal`.
bool Walk(const std::string& path, LastLink lastLink, Place& out, const char*& refusal) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::vector<std::string> pending;  // the entries still to walk, last first
  const auto push = [&pending](const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
      const std::size_t slash = text.rfind('/', end - 1);
      const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
      if (end > begin) pending.push_back(text.substr(begin, end - begin));
      if (slash == std::string::npos) break;
      end = slash;
    }
  };
  push(path);
  out.folder =
      FileDescriptor(files::Open(AT_FDCWD, path.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY));
  out.name = ".";
  int links = 0;
  // Folders of the way taken without links in one openat2 each: half of what
  // is left before the last entry, halved again while a link is in it, so a
  // path with one link costs a few calls, not one per entry.
  const auto skipFolders = [&pending, &out](std::size_t count) {
    std::string folders;
    for (std::size_t i = 0; i < count; ++i) folders += pending[pending.size() - 1 - i] + "/";
    FileDescriptor beyond(
        files::OpenWithoutLinks(out.folder.Get(), folders.c_str(), O_PATH | O_DIRECTORY));
    if (!beyond.Valid()) return false;
    out.folder = std::move(beyond);
    pending.resize(pending.size() - count);
    return true;
  };
  while (out.folder.Valid() && !pending.empty()) {
    bool skipped = false;
    for (std::size_t count = (pending.size() - 1) / 2; count > 0 && !skipped; count /= 2) {
      skipped = skipFolders(count);
    }
    if (skipped) continue;
    std::string entry = std::move(pending.back());
    pending.pop_back();
    if (entry == ".") continue;
    const bool last = pending.empty();
    FileDescriptor next(files::Open(out.folder.Get(), entry.c_str(), O_PATH | O_NOFOLLOW));
    struct stat info {};
    if (!next.Valid() || files::Stat(next.Get(), info) != 0) {
      if (!last || errno != ENOENT) return false;
      out.name = std::move(entry);  // a file to be made
      return true;
    }
    if (!S_ISLNK(info.st_mode)) {
      if (last) {
        out.name = std::move(entry);
        return true;
      }
      if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
      }
      out.folder = std::move(next);
      continue;
    }
    if (last && lastLink == LastLink::kKeep) {
      out.name = std::move(entry);
      return true;
    }
    struct stat folderInfo {};
    if (++links > kMostLinks) {
      errno = ELOOP;
      return false;
    }
    if (files::Stat(out.folder.Get(), folderInfo) != 0) return false;
    if (!MayFollow(info, folderInfo)) {
      refusal = "the path goes through another user's symbolic link in a shared folder";
      errno = EACCES;
      return false;
    }
    // Another user's link could point our replacement at a file of ours.
    if (last && lastLink == LastLink::kFollowOwn && !OwnOrRoots(info)) {
      refusal = "it is a symbolic link of another user";
      errno = EACCES;
      return false;
    }
    long type = 0;
    if (files::FileSystemType(out.folder.Get(), type) == 0 && type == kProcFileSystem) {
      // /proc's links (a descriptor's file, a process's root) lead to the
      // object itself, not to a path: the kernel follows them.
      if (last) {
        out.name = std::move(entry);
        out.follow = true;
        return true;
      }
      out.folder =
          FileDescriptor(files::Open(out.folder.Get(), entry.c_str(), O_PATH | O_DIRECTORY));
      continue;
    }
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t length = files::ReadLink(next.Get(), "", target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
      if (length >= 0) errno = ENAMETOOLONG;  // the link changed under us
      return false;
    }
    target.resize(static_cast<std::size_t>(length));
    push(target);
    if (target.front() == '/')
      out.folder = FileDescriptor(files::Open(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
    // Past a link (a linked ~/.config), the rest of the way usually has none.
    if (out.folder.Valid() && pending.size() > 1) skipFolders(pending.size() - 1);
  }
  return out.folder.Valid();
}

// Opens `path` with `flags` as the kernel would, but through links only where
// MayFollow allows; the last entry's link only with `followLast` (else
// ELOOP). Paths without links take one openat2.
int OpenPath(const std::string& path, int flags, mode_t mode, bool followLast,
             const char*& refusal) {
  const int fd = files::OpenWithoutLinks(AT_FDCWD, path.c_str(), flags);
  if (fd >= 0 || errno != ELOOP) return fd;
  Place place;
  if (!Walk(path, followLast ? LastLink::kFollow : LastLink::kKeep, place, refusal)) return -1;
  return files::Open(place.folder.Get(), place.name.c_str(),
                     flags | (place.follow ? 0 : O_NOFOLLOW), mode);
}

}  // namespace

bool OthersFileInSharedFolder(const struct stat& info, const struct stat& folderInfo) {
  return SharedFolder(folderInfo) && info.st_uid != ::geteuid() && info.st_uid != folderInfo.st_uid;
}

bool OwnOrRoots(const struct stat& info) {
  return info.st_uid == ::geteuid() || info.st_uid == 0;
}

unsigned KindOf(mode_t mode) {
  if (S_ISREG(mode)) return kRegularFile;
  if (S_ISDIR(mode)) return kFolderKind;
  if (S_ISFIFO(mode)) return kFifoKind;
  if (S_ISCHR(mode)) return kCharacterDevice;
  return kOtherKind;
}

const char* KindName(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool OpenForReading(const std::string& path, const ReadPolicy& policy, OpenedFile& out) {
  out = OpenedFile{};
  out.fd =
      FileDescriptor(OpenPath(path, O_RDONLY | kOpenFlags, 0, policy.followLinks, out.refusal));
  if (!out.fd.Valid()) {
    if (errno == ELOOP && !policy.followLinks && out.refusal == nullptr) {
      out.refusal = "it is a symbolic link";
    }
    return false;
  }
  if (files::Stat(out.fd.Get(), out.info) != 0) return false;
  if (!KindAllowed(out, policy.kinds)) return false;
  if (S_ISFIFO(out.info.st_mode) && policy.waitForWriter) {
    // Opened without blocking, a FIFO with no writer yet reads as empty. A
    // second open of the same FIFO, through our descriptor rather than its
    // name, waits for the writer.
    const std::string self = "/proc/self/fd/" + std::to_string(out.fd.Get());
    FileDescriptor waiting(files::Open(AT_FDCWD, self.c_str(), O_RDONLY | O_NOCTTY));
    if (!waiting.Valid()) return false;
    out.fd = std::move(waiting);
  }
  if (!S_ISREG(out.info.st_mode) && !Blocking(out.fd.Get())) return false;
  return true;
}

bool OpenForWritingInPlace(const std::string& path, const InPlacePolicy& policy, OpenedFile& out) {
  out = OpenedFile{};
  // Through a link (followLinks), the folder and name it leads to.
  Place place;
  if (policy.followLinks ? !Walk(path, LastLink::kFollow, place, out.refusal)
                         : !OpenFolder(ParentOf(path), place.folder)) {
    return false;
  }
  const FileDescriptor& folder = place.folder;
  const std::string name = policy.followLinks ? place.name : NameOf(path);
  struct stat folderInfo {};
  if (files::Stat(folder.Get(), folderInfo) != 0) return false;
  // Checked through a descriptor that cannot write (O_PATH) before one that
  // can is opened: a refused file, or one a host thread could write into
  // through a standard number for a moment, is never changed. Not O_TRUNC:
  // the file is emptied only once it passed every check.
  const int nofollow = place.follow ? 0 : O_NOFOLLOW;
  FileDescriptor checked;
  for (int attempt = 0; attempt < 8 && !out.fd.Valid(); ++attempt) {
    checked = FileDescriptor(files::Open(folder.Get(), name.c_str(), O_PATH | nofollow));
    if (!checked.Valid()) {
      // Nothing is made through a link.
      if (errno != ENOENT || policy.followLinks) return false;
      // Nothing there: made new, so nothing of anyone's is at stake; a file
      // that appeared meanwhile is checked on the next round.
      out.fd = FileDescriptor(files::Open(folder.Get(), name.c_str(),
                                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | kOpenFlags,
                                          policy.newMode));
      if (!out.fd.Valid() && errno != EEXIST) return false;
      if (out.fd.Valid()) return files::Stat(out.fd.Get(), out.info) == 0;
      continue;
    }
    if (files::Stat(checked.Get(), out.info) != 0) return false;
    // Another user's link could lead our bytes anywhere; another user's FIFO
    // or file in /tmp could be read by them (the kernel's protected_symlinks,
    // protected_fifos and protected_regular rules, whether or not they are on).
    if (S_ISLNK(out.info.st_mode)) {
      errno = ELOOP;
      out.refusal = "it is a symbolic link";
      return false;
    }
    if (OthersFileInSharedFolder(out.info, folderInfo)) {
      return Refuse(out, EACCES, "it belongs to another user in a shared folder");
    }
    if (policy.followLinks && S_ISREG(out.info.st_mode)) {
      return Refuse(out, EINVAL, "it is a regular file, not a FIFO or a device");
    }
    out.fd = std::move(checked);
    if (!KindAllowed(out, policy.kinds)) return false;
    if (policy.input != nullptr && SameFile(out.info, *policy.input)) {
      return Refuse(out, EINVAL, "it is the input file");
    }
    out.fd.Close();
    // The file checked, opened for writing by its name again.
    out.fd =
        FileDescriptor(files::Open(folder.Get(), name.c_str(), O_WRONLY | nofollow | kOpenFlags));
    if (!out.fd.Valid() && errno == ENXIO && policy.waitForReader) {
      // A FIFO without a reader: wait for one.
      out.fd =
          FileDescriptor(files::Open(folder.Get(), name.c_str(), O_WRONLY | nofollow | O_NOCTTY));
    }
    if (!out.fd.Valid()) {
      if (errno == ENXIO) out.refusal = "it is a FIFO that nothing reads";
      return false;
    }
    struct stat opened {};
    if (files::Stat(out.fd.Get(), opened) != 0) return false;
    if (!SameFile(opened, out.info)) out.fd.Close();  // swapped meanwhile: check again
  }
  if (!out.fd.Valid()) {
    errno = EAGAIN;
    out.refusal = "it keeps being replaced while it is opened";
    return false;
  }
  // Emptied whatever size it had when checked: a host thread writing to a
  // standard number our open got for a moment may have added to it.
  if (S_ISREG(out.info.st_mode)) return files::Truncate(out.fd.Get(), 0) == 0;
  return Blocking(out.fd.Get());
}

std::string RandomNameSuffix(std::size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ull ^
           static_cast<std::uint64_t>(::getpid()) << 32;
  }
  bits += counter.fetch_add(0x632be59bd9b4e019ull, std::memory_order_relaxed);
  std::string suffix(length, 'X');
  for (char& c : suffix) {
    c = kAlphabet[bits % 62];
    bits /= 62;
  }
  return suffix;
}

bool OpenUnnamedFile(const std::string& folder, FileDescriptor& out) {
  FileDescriptor folderFd;
  if (!OpenFolder(folder, folderFd)) return false;
  out = FileDescriptor(files::Open(folderFd.Get(), ".", O_TMPFILE | O_RDWR | O_EXCL, 0600));
  if (out.Valid()) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  // No unnamed files on this file system: a named one, gone again at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = ".unnamed-" + RandomNameSuffix(12);
    out = FileDescriptor(
        files::Open(folderFd.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (out.Valid()) {
      if (files::Unlink(folderFd.Get(), name.c_str()) == 0) return true;
      const int error = errno;
      out.Close();
      errno = error;
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool OpenOwnDescriptor(const std::string& path, OpenedFile& out) {
  out = OpenedFile{};
  int number = -1;
  if (path == "/dev/stdout") number = STDOUT_FILENO;
  if (path == "/dev/stderr") number = STDERR_FILENO;
  for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                    "/proc/" + std::to_string(::getpid()) + "/fd/"}) {
    const std::string_view digits =
        std::string_view(path).substr(std::min(prefix.size(), path.size()));
    if (path.compare(0, prefix.size(), prefix) != 0 || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    number = std::stoi(std::string(digits));
  }
  if (number < 0) {
    // The file stdout was redirected to, named by its path.
    struct stat named {};
    struct stat standard {};
    if (files::StatAt(AT_FDCWD, path.c_str(), named, 0) != 0 ||
        files::Stat(STDOUT_FILENO, standard) != 0 || !SameFile(named, standard)) {
      return false;
    }
    number = STDOUT_FILENO;
  }
  out.fd = FileDescriptor(files::Duplicate(number));
  if (out.fd.Valid() && files::Stat(out.fd.Get(), out.info) != 0) out.fd.Close();
  return true;
}

ReadStatus ReadAll(int fd, std::size_t limit, std::size_t sizeHint, std::string& out) {
  // Room for one byte more than expected: a file that keeps its size is read
  // with one read, and its end seen with a second. A file that grows meanwhile
  // is read on, within the limit, growing the buffer only as bytes come.
  constexpr std::size_t kStep = 16384;
  out.assign(std::min(sizeHint, limit) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == out.size()) {
      if (filled > limit) return ReadStatus::kTooLarge;
      out.resize(std::min(limit + 1, filled + std::max(filled, kStep)));
    }
    const ssize_t n = files::Read(fd, out.data() + filled, out.size() - filled);
    if (n < 0) return ReadStatus::kError;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > limit) return ReadStatus::kTooLarge;
  out.resize(filled);
  return ReadStatus::kOk;
}

ReadStatus ReadWholeFile(const std::string& path, const ReadPolicy& policy, std::size_t limit,
                         std::string& out, struct stat* after) {
  OpenedFile file;
  if (!OpenForReading(path, policy, file)) {
    return errno == ENOENT && file.refusal == nullptr ? ReadStatus::kMissing : ReadStatus::kError;
  }
  const auto size = static_cast<unsigned long long>(std::max<off_t>(file.info.st_size, 0));
  ReadStatus status = ReadStatus::kTooLarge;
  if (!S_ISREG(file.info.st_mode) || size <= limit) {
    status = ReadAll(file.fd.Get(), limit, static_cast<std::size_t>(size), out);
  }
  if (after != nullptr && files::Stat(file.fd.Get(), *after) != 0) return ReadStatus::kError;
  return status;
}

ReadStatus CompareWholeFile(const std::string& path, const ReadPolicy& policy, std::size_t limit,
                            std::string_view expected, bool& same) {
  same = false;
  OpenedFile file;
  if (!OpenForReading(path, policy, file)) {
    return errno == ENOENT && file.refusal == nullptr ? ReadStatus::kMissing : ReadStatus::kError;
  }
  if (S_ISREG(file.info.st_mode) && static_cast<unsigned long long>(file.info.st_size) > limit) {
    return ReadStatus::kTooLarge;
  }
  constexpr std::size_t kPiece = 65536;
  const std::unique_ptr<char[]> piece(new char[kPiece]);
  std::size_t at = 0;
  for (;;) {
    const ssize_t n = files::Read(file.fd.Get(), piece.get(), kPiece);
    if (n < 0) return ReadStatus::kError;
    if (n == 0) break;
    const auto got = static_cast<std::size_t>(n);
    if (got > expected.size() - at || std::memcmp(piece.get(), expected.data() + at, got) != 0) {
      return ReadStatus::kOk;  // it differs: no need to read on
    }
    at += got;
  }
  same = at == expected.size();
  return ReadStatus::kOk;
}

bool ReadExactly(int fd, void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = files::Read(fd, bytes + done, size - done);
    if (got < 0) return false;
    if (got == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = files::Write(fd, bytes.data(), bytes.size());
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool OpenFolder(const std::string& path, FileDescriptor& out) {
  const char* refusal = nullptr;
  out = FileDescriptor(OpenPath(path, O_RDONLY | O_DIRECTORY | kOpenFlags, 0, true, refusal));
  return out.Valid();
}

bool LocateEntry(const std::string& path, bool followOwnLinks, FileDescriptor& folder,
                 std::string& name, const char*& refusal) {
  // A folder path without links, and a last entry that is not a link to
  // follow: one openat2 and one fstatat.
  const std::string last = NameOf(path);
  if (!last.empty()) {
    FileDescriptor direct(files::OpenWithoutLinks(AT_FDCWD, ParentOf(path).c_str(),
                                                  O_RDONLY | O_DIRECTORY | kOpenFlags));
    struct stat info {};
    if (direct.Valid() &&
        (!followOwnLinks ||
         files::StatAt(direct.Get(), last.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0 ||
         !S_ISLNK(info.st_mode))) {
      folder = std::move(direct);
      name = last;
      return true;
    }
    if (!direct.Valid() && errno != ELOOP) return false;
  }
  Place place;
  if (!Walk(path, followOwnLinks ? LastLink::kFollowOwn : LastLink::kKeep, place, refusal)) {
    return false;
  }
  if (place.follow) {  // a /proc link: a descriptor's file is never replaced
    refusal = "it is not a regular file";
    errno = EINVAL;
    return false;
  }
  folder =
      FileDescriptor(files::Open(place.folder.Get(), ".", O_RDONLY | O_DIRECTORY | kOpenFlags));
  name = std::move(place.name);
  return folder.Valid();
}

bool SyncFolder(const std::string& folder) {
  FileDescriptor fd;
  return OpenFolder(folder, fd) && files::Sync(fd.Get()) == 0;
}

bool MakeFolders(const std::string& folder, mode_t mode, bool takeOwner) {
  FileDescriptor existing;
  if (OpenFolder(folder, existing)) return true;
  if (folder.empty() || folder.front() != '/') {
    errno = EINVAL;
    return false;
  }
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = folder.find('/', end + 1);
    const std::string prefix = folder.substr(0, end);
    FileDescriptor parent;
    if (!OpenFolder(ParentOf(prefix), parent)) return false;
    const std::string name = NameOf(prefix);
    if (name.empty()) continue;  // a doubled or trailing slash
    if (files::MakeFolder(parent.Get(), name.c_str(), mode) != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    FileDescriptor made(
        files::Open(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | kOpenFlags));
    struct stat parentInfo {};
    if (!made.Valid() || files::Stat(parent.Get(), parentInfo) != 0) return false;
    // mkdir applies the umask; the folder gets exactly `mode`.
    if (files::ChangeMode(made.Get(), mode) != 0) return false;
    if (takeOwner && ::geteuid() == 0 && parentInfo.st_uid != 0) {
      files::ChangeOwner(made.Get(), parentInfo.st_uid, parentInfo.st_gid);  // where it can
    }
    files::Sync(parent.Get());
  }
  return OpenFolder(folder, existing);
}

bool ListFolder(const std::string& folder, const std::function<void(int, const char*)>& visit) {
  FileDescriptor fd;
  if (!OpenFolder(folder, fd)) return false;
  struct Closer {
    void operator()(DIR* listing) const { ::closedir(listing); }
  };
  const std::unique_ptr<DIR, Closer> listing(files::OpenFolderListing(fd.Release()));
  if (!listing) return false;
  const int folderFd = ::dirfd(listing.get());
  for (;;) {
    const dirent* entry = files::NextEntry(listing.get());
    if (entry == nullptr) return errno == 0;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") visit(folderFd, entry->d_name);
  }
}

int AddNameNoReplace(int folder, const char* from, const char* to) {
  if (files::Link(folder, from, folder, to, 0) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  // A file system without hard links: move the file instead; the caller
  // writes a new file under the old name next.
  if (files::Rename(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
  return errno;
}

bool RemoveEntry(int folder, const char* name) {
  return files::Unlink(folder, name) == 0;
}

}  // namespace ZQ::RVL::Utils::internal
