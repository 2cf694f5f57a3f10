// The one atomic file replacement of the library and the zqutil tool: the new
// bytes go to a temporary file `<name>.tmp-XXXXXX` beside the file, which is
// fsynced, renamed over the file, and the folder fsynced, so that a reader
// sees the whole old or the whole new file and the new one survives a crash
// once Commit() returns true. Private (not installed): the preferences store
// and zqutil's outputs use it.
//
// Thread-safety: an AtomicFile is used by one thread at a time; different
// objects may be used at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "utils/file/FileDescriptor.h"

namespace ZQ::RVL::Utils::internal {

// A temporary file is named `<name>` + kTemporaryInfix + kTemporarySuffixLength
// characters of [A-Za-z0-9].
constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixLength = 6;

struct ReplaceOptions {
  // The mode of the new file. Without one, the new file gets the permission
  // bits (not set-id bits) of the file it replaces, and its owner and group
  // where this process may give them; a new file gets 0666 less the umask.
  std::optional<mode_t> mode;
  // When the path is a symbolic link (or a chain of them), replace the file
  // the link leads to and keep the link; otherwise the link itself is
  // replaced by a regular file. A link of another user in a sticky folder
  // that others may write is not followed (EACCES), as the kernel's
  // protected_symlinks rule has it.
  bool throughLinks = false;
};

class AtomicFile {
 public:
  AtomicFile() = default;
  // Removes the temporary file unless Commit() renamed it into place.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Starts replacing `path`: makes the temporary file beside the file that
  // will be replaced (opened for writing, owner-only until Commit()). Returns
  // false, with errno set and nothing made, when the folder cannot be opened,
  // the temporary file cannot be made, a link chain does not end, or what is
  // there is a folder (EISDIR) or another kind of special file (EINVAL): a
  // rename would replace a device or a pipe. Call it once per object.
  bool Begin(const std::string& path, const ReplaceOptions& options);

  // The temporary file, for writers that open it by name or write to the
  // descriptor; valid between a successful Begin() and Commit().
  const std::string& TemporaryPath() const { return temporaryPath_; }
  int Descriptor() const { return file_.Get(); }

  // Appends `bytes` to the temporary file; false (errno set) when a write fails.
  bool Write(std::string_view bytes);

  // Gives the temporary file its mode (and owner) and fsyncs it: all of
  // Commit() but the rename, for callers that check, after this slow step,
  // that they still may replace the file. Returns false with errno set when a
  // step fails; the old file is untouched.
  bool Sync();

  // Sync()s (unless done), renames the temporary file over the file and fsyncs
  // the folder. Returns false with errno set when a step fails: before the
  // rename the old file is untouched and the temporary file is removed; when
  // only the folder's fsync fails, the new file is in place but may not
  // survive a crash.
  bool Commit();

 private:
  FileDescriptor folder_;
  FileDescriptor file_;
  std::string name_;           // within the folder
  std::string temporaryName_;  // within the folder
  std::string temporaryPath_;
  mode_t mode_ = 0;
  bool setMode_ = false;
  std::optional<std::pair<uid_t, gid_t>> owner_;
  bool synced_ = false;
  bool committed_ = false;
};

// Replaces `path` with `bytes` through an AtomicFile; false (errno set) when a
// step fails, with the cases and the state after it as for Begin and Commit.
bool ReplaceFile(const std::string& path, std::string_view bytes, const ReplaceOptions& options);

// Fsyncs the folder `folder`, so that entries made or renamed in it survive a
// crash. Returns false when it cannot be opened or synced.
bool SyncFolder(const std::string& folder);

// Returns the folder part of `path` ("." when there is none, "/" for the root).
std::string ParentOf(const std::string& path);

}  // namespace ZQ::RVL::Utils::internal
