#include "utils/config/store/PosixFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>

namespace ZQ::RVL::Utils::Preferences {

namespace {

// Every call that can be interrupted by a signal is retried: a signal handler
// of the host application must not turn into a lost write.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

bool SyncFolder(const std::string& folder) {
  FileDescriptor fd(
      RetryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd.Valid()) return false;
  return RetryOnInterrupt([&] { return ::fsync(fd.Get()); }) == 0;
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Unlinks a temporary file unless it was committed (renamed into place).
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& Path() const { return path_; }
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixLength = 6;  // mkostemp's XXXXXX

bool IsTemporaryOf(std::string_view name, const std::string& fileName) {
  const std::size_t prefixLength = fileName.size() + kTemporaryInfix.size();
  if (name.size() != prefixLength + kTemporarySuffixLength) return false;
  if (name.substr(0, fileName.size()) != fileName) return false;
  if (name.substr(fileName.size(), kTemporaryInfix.size()) != kTemporaryInfix) return false;
  for (char c : name.substr(prefixLength)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char text[32] = {};
  if (::gmtime_r(&now, &utc) == nullptr ||
      std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) == 0) {
    return "unknown-time";
  }
  return text;
}

// Gives `from` the extra name `to` without ever replacing an existing `to`.
// Returns 0, EEXIST when `to` is taken, or another errno value.
int AddNameNoReplace(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  // A file system without hard links: move the file instead; the caller
  // writes a new file under the old name next.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  return errno;
}

}  // namespace

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool FileDescriptor::Close() {
  if (fd_ < 0) return true;
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  return ::close(std::exchange(fd_, -1)) == 0;
}

void FileDescriptor::Reset() {
  Close();
}

ReadStatus ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& out) {
  FileDescriptor fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.Valid()) return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kError;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadStatus::kError;
  if (static_cast<unsigned long long>(info.st_size) > maxSize) return ReadStatus::kTooLarge;

  out.clear();
  out.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[16384];
  for (;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd.Get(), chunk, sizeof chunk); });
    if (n < 0) return ReadStatus::kError;
    if (n == 0) break;
    // Another program may grow the file in place while we read it.
    if (out.size() + static_cast<std::size_t>(n) > maxSize) return ReadStatus::kTooLarge;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return ReadStatus::kOk;
}

bool MakeFolders(const std::string& folder, mode_t mode) {
  if (IsFolder(folder)) return true;
  if (folder.empty() || folder.front() != '/') return false;
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = folder.find('/', end + 1);
    const std::string prefix = folder.substr(0, end);
    if (::mkdir(prefix.c_str(), mode) == 0) {
      // mkdir applies the umask; the store's folders get exactly `mode`.
      if (::chmod(prefix.c_str(), mode) != 0) return false;
      SyncFolder(ParentOf(prefix));
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return IsFolder(folder);
}

FileDescriptor LockExclusive(const std::string& path, mode_t mode) {
  FileDescriptor fd(RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode); }));
  if (!fd.Valid()) return fd;
  if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX); }) != 0) return FileDescriptor();
  return fd;
}

bool ReplaceFile(const std::string& folder, const std::string& fileName, std::string_view bytes,
                 mode_t mode) {
  std::string pattern = folder + "/" + fileName + std::string(kTemporaryInfix) + "XXXXXX";
  FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd.Valid()) return false;
  TemporaryFile temporary(pattern);

  if (::fchmod(fd.Get(), mode) != 0 || !WriteAll(fd.Get(), bytes) ||
      RetryOnInterrupt([&] { return ::fsync(fd.Get()); }) != 0 || !fd.Close()) {
    return false;
  }
  const std::string target = folder + "/" + fileName;
  if (::rename(temporary.Path().c_str(), target.c_str()) != 0) return false;
  temporary.Commit();
  // Without this the rename itself could be lost in a crash.
  return SyncFolder(folder);
}

void RemoveStrayTemporaries(const std::string& folder, const std::string& fileName) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsTemporaryOf(entry->d_name, fileName)) ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
  }
}

bool PreserveDamagedFile(const std::string& folder, const std::string& fileName) {
  const std::string from = folder + "/" + fileName;
  const std::string base = from + ".corrupt-" + UtcStamp();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string to = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    const int result = AddNameNoReplace(from, to);
    if (result == 0) return true;
    if (result != EEXIST) return false;
  }
  return false;
}

}  // namespace ZQ::RVL::Utils::Preferences
