#include "utils/file/File.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

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

}  // namespace

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool OthersFileInSharedFolder(const struct stat& info, const struct stat& folderInfo) {
  const bool shared = (folderInfo.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return shared && info.st_uid != ::geteuid() && info.st_uid != folderInfo.st_uid;
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
  const int flags = O_RDONLY | kOpenFlags | (policy.followLinks ? 0 : O_NOFOLLOW);
  out.fd = FileDescriptor(files::Open(AT_FDCWD, path.c_str(), flags));
  if (!out.fd.Valid()) {
    if (errno == ELOOP && !policy.followLinks) out.refusal = "it is a symbolic link";
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
  FileDescriptor folder;
  if (!OpenFolder(ParentOf(path), folder)) return false;
  const std::string name = NameOf(path);
  struct stat folderInfo {};
  if (files::Stat(folder.Get(), folderInfo) != 0) return false;
  // Not O_TRUNC: the file is emptied only once it is known not to be the
  // input, and not another user's planted file. Through a link, nothing is
  // made.
  const int linkFlags = policy.followLinks ? 0 : O_CREAT | O_NOFOLLOW;
  struct stat there {};
  if (files::StatAt(folder.Get(), name.c_str(), there, AT_SYMLINK_NOFOLLOW) == 0) {
    // Another user's link could lead our bytes anywhere; another user's FIFO
    // or file in /tmp could be read by them (the kernel's protected_symlinks,
    // protected_fifos and protected_regular rules, whether or not they are on).
    if (S_ISLNK(there.st_mode) && !OwnOrRoots(there)) {
      return Refuse(out, EACCES, "it is a symbolic link of another user");
    }
    if (OthersFileInSharedFolder(there, folderInfo)) {
      return Refuse(out, EACCES, "it belongs to another user in a shared folder");
    }
  }
  int flags = O_WRONLY | linkFlags | kOpenFlags;
  out.fd = FileDescriptor(files::Open(folder.Get(), name.c_str(), flags, policy.newMode));
  if (!out.fd.Valid() && errno == ENXIO && policy.waitForReader) {
    // A FIFO without a reader: wait for one, then check what was opened.
    flags = O_WRONLY | (linkFlags & O_NOFOLLOW) | O_NOCTTY;
    out.fd = FileDescriptor(files::Open(folder.Get(), name.c_str(), flags));
  }
  if (!out.fd.Valid()) {
    if (errno == ELOOP && !policy.followLinks) out.refusal = "it is a symbolic link";
    if (errno == ENXIO) out.refusal = "it is a FIFO that nothing reads";
    return false;
  }
  if (files::Stat(out.fd.Get(), out.info) != 0) return false;
  if (policy.followLinks && S_ISREG(out.info.st_mode)) {
    return Refuse(out, EINVAL, "it is a regular file, not a FIFO or a device");
  }
  if (!KindAllowed(out, policy.kinds)) return false;
  if (policy.input != nullptr && SameFile(out.info, *policy.input)) {
    return Refuse(out, EINVAL, "it is the input file");
  }
  // Checked again on what was opened: the entry may have been swapped since.
  if (OthersFileInSharedFolder(out.info, folderInfo)) {
    return Refuse(out, EACCES, "it belongs to another user in a shared folder");
  }
  if (S_ISREG(out.info.st_mode)) {
    if (out.info.st_size != 0 && files::Truncate(out.fd.Get(), 0) != 0) return false;
    return true;
  }
  return Blocking(out.fd.Get());
}

bool OpenUnnamedFile(const std::string& folder, FileDescriptor& out) {
  FileDescriptor folderFd;
  if (!OpenFolder(folder, folderFd)) return false;
  out = FileDescriptor(files::Open(folderFd.Get(), ".", O_TMPFILE | O_RDWR | O_EXCL, 0600));
  if (out.Valid()) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  // No unnamed files on this file system: a named one, gone again at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
      bits = static_cast<std::uint64_t>(::getpid()) << 20 ^ static_cast<std::uint64_t>(attempt);
    }
    char name[32];
    std::snprintf(name, sizeof name, ".unnamed-%016llx", static_cast<unsigned long long>(bits));
    out = FileDescriptor(
        files::Open(folderFd.Get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (out.Valid()) {
      if (files::Unlink(folderFd.Get(), name) == 0) return true;
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
  out.fd = FileDescriptor(::fcntl(number, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
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
  out = FileDescriptor(files::Open(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
  return out.Valid();
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
