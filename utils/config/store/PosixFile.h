// Owning file descriptors and the few POSIX file operations the preferences
// store is built from: whole-file reads, folder creation with exact modes, an
// exclusive lock on a side file, and the atomic replacement of a file (temporary
// file, fsync, rename, fsync of the folder). Private to the store.
//
// Thread-safety: every function may be called from any thread; a
// FileDescriptor object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// Owns one open file descriptor and closes it on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  // Closes the descriptor now; returns false when close() reports an error
  // (for a file just written, the data may then not have reached the disk).
  bool Close();
  void Reset();

 private:
  int fd_ = -1;
};

enum class ReadStatus { kOk, kMissing, kTooLarge, kError };

// Reads the whole file at `path` into `out`. kMissing when there is no file,
// kTooLarge (nothing read) when it holds more than `maxSize` bytes, kError on
// any other failure; `out` is only meaningful after kOk.
ReadStatus ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& out);

// Creates `folder` and every missing folder above it with exactly `mode`
// (whatever the umask), and makes each new entry durable. Existing folders are
// left as they are. Returns true when `folder` exists afterwards.
bool MakeFolders(const std::string& folder, mode_t mode);

// Opens (creating it with `mode` when missing) the lock file at `path` and
// waits for an exclusive flock on it. Returns an invalid descriptor when the
// file cannot be opened or locked; the lock lasts as long as the descriptor.
FileDescriptor LockExclusive(const std::string& path, mode_t mode);

// Replaces `folder`/`fileName` with `bytes` so that a reader sees the whole old
// or the whole new file, never a mix, and the new file survives a crash once
// this returns true: writes a temporary file `<fileName>.tmp-XXXXXX` in the
// same folder with mode `mode`, fsyncs it, renames it over the file and fsyncs
// the folder. Returns false, leaving the old file as it was and no temporary
// file behind, when a step fails. The caller holds the file's lock.
bool ReplaceFile(const std::string& folder, const std::string& fileName, std::string_view bytes,
                 mode_t mode);

// Removes the temporary files that ReplaceFile left for `fileName` in `folder`
// when its process was killed. The caller holds the file's lock, so no
// temporary file of that name is in use.
void RemoveStrayTemporaries(const std::string& folder, const std::string& fileName);

// Adds the name `<fileName>.corrupt-<UTC time>` (with a "-N" suffix when that
// name is taken) to the file `folder`/`fileName`, so its bytes stay on disk
// after the file is replaced. Never overwrites an existing file. Returns false
// when no such name could be made.
bool PreserveDamagedFile(const std::string& folder, const std::string& fileName);

}  // namespace ZQ::RVL::Utils::Preferences
