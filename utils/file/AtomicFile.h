// The one durable replacement of a file in the library and the zqutil tool.
// The new bytes go to a temporary file in the folder of the file, written
// through the descriptor that made it; Commit() gives it its mode and owner,
// fsyncs it, puts it in place with a rename and fsyncs the folder, so a reader
// sees the whole old or the whole new file and the new one survives a crash
// once Commit() returns true. Where the file system allows, the temporary
// file has no name until Commit() (O_TMPFILE) links it as
// `<name>.tmp-XXXXXX` (see IsTemporaryName) just before the rename: a process
// killed before then, even by SIGKILL, leaves nothing behind. Elsewhere it has
// that name from Begin() on. Either way RemoveTemporariesNow() removes a name
// not yet renamed from a signal handler. Follows the policy of
// utils/file/File.h. Private (not installed).
//
// Thread-safety: an AtomicFile is used by one thread at a time; different
// objects may be used at once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "utils/file/FileDescriptor.h"

namespace ZQ::RVL::Utils::internal {

// A named temporary file is `<name>` (cut so that the whole fits in a file
// name) + kTemporaryInfix + kTemporarySuffixLength characters of [A-Za-z0-9].
constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixLength = 6;

// Returns true when `entry` is a name a temporary file of `fileName` gets.
bool IsTemporaryName(std::string_view entry, std::string_view fileName);

struct ReplaceOptions {
  // The exact mode of the file, whatever the umask. Without one, a replaced
  // file keeps its permission bits (not set-id bits) and a new file gets
  // 0666 less the umask; either way narrowed to `modeLimit`.
  std::optional<mode_t> mode;
  mode_t modeLimit = 0777;
  // A replaced file keeps its owner and group where this process may give
  // them (as root); a new file is this process's.
  bool keepOwner = true;
  // A new file that this process makes as root in a folder of another user
  // is given to that user, with the folder's group.
  bool newFileTakesFolderOwner = false;
  // A symbolic link at the path: without this, Begin() fails (ELOOP). With
  // it, a link of this user or of root (a chain of them) is followed, the
  // file it leads to is replaced and the link stays; another user's link
  // fails (EACCES).
  bool followOwnLinks = false;
  // Refuse (EACCES) an existing file this process may not write (a 0444
  // file of a normal user), as cp does.
  bool requireWritable = false;
  // Refuse (EMLINK) an existing file with other names (hard links): a
  // replacement would split it from them.
  bool refuseOtherNames = false;
  // Name the temporary file from Begin() on, even where it could stay
  // unnamed: the settings store, whose writers look for one another's
  // temporary files (a writer whose lock file was removed underneath it finds
  // its temporary file gone and starts again).
  bool nameFromTheStart = false;
};

class AtomicFile {
 public:
  AtomicFile() = default;
  // Removes the temporary file unless Commit() put it in place.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Starts replacing `path`: opens its folder and makes the temporary file
  // there. Returns false, with errno set, Refusal() naming a refusal of the
  // policy, and nothing made, when the folder cannot be opened, the temporary
  // file cannot be made, or what is at the path may not be replaced: a folder
  // (EISDIR), another kind of special file (EINVAL), a link (see
  // ReplaceOptions), another user's file in a shared sticky folder (EACCES).
  // Call it once per object.
  bool Begin(const std::string& path, const ReplaceOptions& options);

  // The temporary file's descriptor, open for writing, valid between a
  // successful Begin() and Commit().
  int Descriptor() const { return file_.Get(); }
  // What is replaced: the stat of the existing file, if any, as Begin() saw it.
  const std::optional<struct stat>& Existing() const { return existing_; }
  const char* Refusal() const { return refusal_; }

  // Appends `bytes` to the temporary file; false (errno set) when a write fails.
  bool Write(std::string_view bytes);

  // Gives the temporary file its mode and owner, fsyncs it and gives it its
  // temporary name (checked to be our file): all of Commit() but the rename,
  // for callers that check, after this slow step, that they still may replace
  // the file, and then have only the rename left. Returns false with errno
  // set when a step fails (ESTALE: another file is under our temporary name);
  // the old file is untouched.
  bool Sync();

  // Sync()s (unless done), puts the temporary file in place over the file and
  // fsyncs the folder. Returns false with errno set when a step fails: until
  // the rename, the old file is untouched and the temporary file goes; when
  // what the rename put in place is not our file (the name was swapped
  // underneath: ESTALE) or only the folder's fsync fails, the new file may be
  // in place but not survive a crash.
  bool Commit();

 private:
  bool MakeTemporary(mode_t createMode, bool named);
  bool Fail(int error, const char* why);

  FileDescriptor folder_;
  FileDescriptor file_;
  std::string name_;           // within the folder
  std::string temporaryName_;  // within the folder, once it has a name
  std::optional<struct stat> existing_;
  struct stat folderInfo_ {};
  std::optional<mode_t> mode_;
  struct stat ours_ {};  // the temporary file, as Sync() found it
  bool takeFolderOwner_ = false;
  bool keepOwner_ = false;
  int registered_ = -1;  // slot of the temporary name (RemoveTemporariesNow)
  const char* refusal_ = nullptr;
  bool synced_ = false;
  bool committed_ = false;
};

// Removes every named temporary file of an AtomicFile of this process that is
// not yet committed. Async-signal-safe: for a signal handler of the zqutil
// tool, on SIGINT, SIGTERM or SIGHUP (the library itself installs none).
void RemoveTemporariesNow();

}  // namespace ZQ::RVL::Utils::internal
