// The file layer of the library and the zqutil tool: every file either of them
// opens, reads, writes, replaces, lists or removes goes through here or
// through AtomicFile.h, and this header states the one policy they follow.
// Private (not installed).
//
// The policy:
// - Descriptors. None of ours is ever 0, 1 or 2, and every one is
//   close-on-exec. A standard number the host left free is filled for good
//   with /dev/null opened for reading (FileCalls.h says why).
// - Opening a path never blocks. Every open is non-blocking and the kind of
//   what it got is checked with fstat before anything is read or written: a
//   FIFO without a peer, a device or a folder where a file was expected fails
//   the call at once. Only a caller that asks to wait for a FIFO's other end
//   (zqutil, as `cat` does) waits.
// - Links. A reader follows symbolic links unless told not to. A writer
//   never writes through a link it did not expect: a link at a path opened
//   for writing in place fails (ELOOP), or, when the caller asks, leads to an
//   existing FIFO, terminal or device only; a replacement replaces the link's
//   target only when asked to and only for a link of this user or root
//   (another user's link: EACCES), else fails (ELOOP).
// - Links on the way. Every path the caller names is walked one entry at a
//   time, and a link found in a folder that others may write and that has
//   the sticky bit (/tmp) is followed only when it is this user's or the
//   folder owner's, anywhere in the path, for reading and for writing
//   (EACCES otherwise): the kernel's protected_symlinks rule, kept whether or
//   not it is on. Another user's /tmp/x -> /etc must not lead root's output
//   into /etc, nor their folder receive it. Other links on the way are
//   followed; a path without links costs one openat2.
// - Write through the descriptor you created. Nothing is ever reopened by
//   name: the temporary file of a replacement is written, fsynced and renamed
//   by descriptor and name within one opened folder, and the rename is checked
//   to have put our file in place.
// - Kinds. Only a regular file is replaced. A FIFO, a terminal or a character
//   device named as an output is written in place; a path that names this
//   process's own standard output is written to descriptor 1 as it is.
// - Existing files. An existing file or FIFO of another user in a folder
//   that others may write and that has the sticky bit (/tmp) is never
//   written or replaced (EACCES), as the kernel's protected_regular and
//   protected_fifos rules have it, whether or not they are on: another user
//   could have made it to be handed our bytes.
// - Modes and owners. A new file gets 0666 less the umask, narrowed to what
//   the caller allows (zqutil: no more than its input's mode); a replaced file
//   keeps its mode (narrowed the same way) and, where this process may give
//   it, its owner and group.
//
// Thread-safety: every function may be called from any thread; an object is
// used by one thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "utils/file/FileCalls.h"
#include "utils/file/FileDescriptor.h"

namespace ZQ::RVL::Utils::internal {

// Kinds of file, as a set.
enum FileKinds : unsigned {
  kRegularFile = 1u << 0,
  kFolderKind = 1u << 1,
  kFifoKind = 1u << 2,
  kCharacterDevice = 1u << 3,
  kOtherKind = 1u << 4,  // socket, block device
};

// True when `a` and `b` are stats of one file (FileCalls.h).
using files::SameFile;

// True when `info`, an entry of the folder `folderInfo`, is a file of another
// user (nor the folder's owner) in a folder that others may write and that
// has the sticky bit (/tmp): another user could have made it to get our bytes.
bool OthersFileInSharedFolder(const struct stat& info, const struct stat& folderInfo);

// True when `info` belongs to this process's user or to root: the only links
// a writer follows.
bool OwnOrRoots(const struct stat& info);

// Returns the kind of `mode` as a set of one.
unsigned KindOf(mode_t mode);

// Names the kind of `mode` for messages: "a FIFO", "a folder", ...
const char* KindName(mode_t mode);

// A file opened by the layer, with what fstat told right after the open.
struct OpenedFile {
  FileDescriptor fd;
  struct stat info {};
  // When the layer refused the file by its policy (rather than the kernel
  // failing a call): the rule, in words ("it is a FIFO", "it is the input"...).
  const char* refusal = nullptr;
};

struct ReadPolicy {
  bool followLinks = true;        // false: a link at the path fails (ELOOP)
  unsigned kinds = kRegularFile;  // others fail: EISDIR for a folder, else EINVAL
  bool waitForWriter = false;     // a FIFO: wait until a writer opens it
};

// Opens `path` for reading under `policy`. Returns false with errno set (and
// `out.refusal` when the policy refused it); `out.info` holds the kind found.
bool OpenForReading(const std::string& path, const ReadPolicy& policy, OpenedFile& out);

struct InPlacePolicy {
  mode_t newMode = 0666;  // a new file's mode, before the umask
  unsigned kinds = kRegularFile | kFifoKind | kCharacterDevice;
  bool waitForReader = false;          // a FIFO: wait until a reader opens it
  const struct stat* input = nullptr;  // refuse this very file (EINVAL)
  // A link at the path is followed, to an existing FIFO, terminal or device
  // only (zqutil's /dev/stderr, /dev/fd/N): nothing is made or emptied
  // through a link, so ENOENT when nothing is there and a regular file is
  // refused (EINVAL).
  bool followLinks = false;
};

// Opens `path` for writing in place, as fopen("wb") does but by the policy
// above: a missing file is made with `newMode`; an existing regular file is
// emptied only after it was checked not to be the input; a FIFO needs a
// reader (ENXIO without one, unless asked to wait); a link at the path fails
// (ELOOP) unless `policy.followLinks`. Returns false with errno set (and
// `out.refusal` for a refusal).
bool OpenForWritingInPlace(const std::string& path, const InPlacePolicy& policy, OpenedFile& out);

// Opens a new file in `folder` for reading and writing that no name leads to
// (O_TMPFILE; where the file system has none, a file made 0600 and removed at
// once), so it vanishes with its last descriptor, even when the process is
// killed. Returns false with errno set when the folder cannot be opened or the
// file cannot be made.
bool OpenUnnamedFile(const std::string& folder, FileDescriptor& out);

// `length` characters of [A-Za-z0-9] for the name of a temporary file: from
// the kernel's random source, else the clock, and never the same twice in a
// row in this process.
std::string RandomNameSuffix(std::size_t length);

// Opens for writing, as a new descriptor of the same open file (its offset
// and O_APPEND shared, nothing emptied), what `path` names when it is one of
// this process's own descriptors: /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N, or the file descriptor 1 has open (where stdout was
// redirected to). So `>> log` appends and the log stays, where reopening the
// name would empty or replace it. Returns false, with `out` empty, when `path`
// names none of them; true when it names one, with `out.fd` open and
// `out.info` filled, or `out.fd` not valid and errno set when that descriptor
// is closed.
bool OpenOwnDescriptor(const std::string& path, OpenedFile& out);

enum class ReadStatus { kOk, kMissing, kTooLarge, kError };

// Reads all of `fd` into `out`, at most `limit` bytes (kTooLarge beyond:
// `out` then unspecified). Ends only at a read of 0 bytes (a file system may
// split reads; a size from fstat may be stale); allocates no more than what
// was read, beyond `sizeHint` + 1. kError with errno set when a read fails.
ReadStatus ReadAll(int fd, std::size_t limit, std::size_t sizeHint, std::string& out);

// Opens `path` with `policy` and reads it whole into `out`, as ReadAll.
// kMissing when nothing is at the path; kTooLarge when its size is beyond
// `limit` (nothing read then); kError with errno set otherwise. With `after`,
// stores there what fstat tells once the file is read (its change time shows
// whether another writer touched it since).
ReadStatus ReadWholeFile(const std::string& path, const ReadPolicy& policy, std::size_t limit,
                         std::string& out, struct stat* after = nullptr);

// Opens `path` as ReadWholeFile does and compares what it holds with
// `expected`, 64 KiB at a time, never holding the whole file: on kOk, `same`
// says whether it holds exactly `expected`. kMissing, kTooLarge (nothing
// read) and kError as ReadWholeFile.
ReadStatus CompareWholeFile(const std::string& path, const ReadPolicy& policy, std::size_t limit,
                            std::string_view expected, bool& same);

// Reads exactly `size` bytes from `fd`; false (errno set, EIO for an early
// end) otherwise.
bool ReadExactly(int fd, void* out, std::size_t size);

// Writes all of `bytes` to `fd`, through short writes; false with errno set.
bool WriteAll(int fd, std::string_view bytes);

// Opens the folder `path` (following links on the way as the policy above
// allows) for entries relative to it and for fsync. False with errno set
// (EACCES for another user's link in a shared folder).
bool OpenFolder(const std::string& path, FileDescriptor& out);

// Finds where `path` leads, for an entry to be made or replaced in its
// folder: walks it as OpenFolder does and, with `followOwnLinks`, follows a
// link as the last entry only when it is this user's or root's (EACCES, with
// `refusal`, for another user's); without, a link stays the last entry.
// `folder` is opened for entries and fsync; `name` is the last entry ("." or
// ".." when the path ends in one). False with errno set.
bool LocateEntry(const std::string& path, bool followOwnLinks, FileDescriptor& folder,
                 std::string& name, const char*& refusal);

// Fsyncs the folder `folder`, so that entries made or renamed in it survive a
// crash. Returns false when it cannot be opened or synced.
bool SyncFolder(const std::string& folder);

// Creates `folder` and every missing folder above it with exactly `mode`
// (whatever the umask), making each new entry durable. With `takeOwner`, a
// folder this process makes as root inside a folder of another user is given
// to that user (root writing a user's settings must not lock the user out).
// Existing folders are left as they are. Returns true when `folder` exists
// afterwards, false with errno set otherwise.
bool MakeFolders(const std::string& folder, mode_t mode, bool takeOwner);

// Calls `visit(folderFd, name)` for every entry of `folder` but "." and "..".
// Returns false with errno set when the folder cannot be read (ENOENT when
// it does not exist).
bool ListFolder(const std::string& folder, const std::function<void(int, const char*)>& visit);

// Gives the entry `from` of `folder` the extra name `to` without ever
// replacing an existing `to` (a hard link; where the file system has none,
// the entry is moved). Returns 0, EEXIST when `to` is taken, or another errno.
int AddNameNoReplace(int folder, const char* from, const char* to);

// Removes the entry `name` of `folder`; false with errno set.
bool RemoveEntry(int folder, const char* name);

// Returns the folder part of `path` ("." when there is none, "/" for the root).
std::string ParentOf(const std::string& path);

// Returns the last component of `path`.
std::string NameOf(const std::string& path);

}  // namespace ZQ::RVL::Utils::internal
