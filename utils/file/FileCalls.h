// Every system call on files that the library and the zqutil tool make, and
// the seam through which a test makes any of them fail. Private to the file
// layer (utils/file/): other code calls File.h and AtomicFile.h, or these
// wrappers where it needs one step of its own, and never the kernel directly
// (scripts/lint-files.py and scripts/lint-symbols.py keep it so).
//
// What every call here guarantees, whoever calls it:
// - a descriptor it makes is never 0, 1 or 2 (a host that closed its standard
//   descriptors must not have its stderr lines land in our files) and is
//   always close-on-exec. Each open first fills whichever of 0-2 are free
//   with /dev/null opened for reading, and leaves it there: reads see the
//   end and writes fail (EBADF) as they did while the number was closed, and
//   the host may dup2 its own file onto it at any time. Handing the numbers
//   back after each open would race with such a dup2 and close the host's
//   file. An open that still got one of them (a host thread freed it in that
//   instant) is checked against its path, moved above 2, and its number
//   given back only while it still holds our file; a file it made is emptied
//   of anything written through that number meanwhile;
// - a call a signal interrupts (EINTR) is made again; close() is not, since
//   on Linux the descriptor is gone either way.
//
// Thread-safety: every call may be made from any thread. The fault hook is
// installed by a test while no other thread calls into the layer.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace ZQ::RVL::Utils::internal::files {

// The calls the seam can fail, one per kind of step.
enum class Call {
  kOpen,         // open, openat, O_TMPFILE, dup
  kRead,         // read, pread, lseek
  kWrite,        // write
  kSync,         // fsync
  kClose,        // close (only the result: the descriptor goes anyway)
  kStat,         // fstat, fstatat, faccessat, readlink
  kRename,       // renameat, renameat2
  kLink,         // linkat
  kUnlink,       // unlinkat
  kMakeFolder,   // mkdirat
  kChangeMode,   // fchmod
  kChangeOwner,  // fchown
  kTruncate,     // ftruncate
  kLock,         // flock
  kReadFolder,   // fdopendir and readdir
};
inline constexpr int kCallKinds = 15;

// A test's view of every call. Before() runs before the call is made; it
// returns 0 to make it, or an errno value (EIO, ENOSPC, EINTR...) to fail it
// without making it. For kRead and kWrite it may lower `size` (never to 0):
// a short read or write. `name` is the path or entry name when the call has
// one, else null; `fd` the descriptor when it has one, else -1. One more
// call, for tests of a hostile host: when an open got a standard number (a
// host thread freed it meanwhile), kOpen with that number and a null name
// comes before the layer moves it; the hook may act on the number as that
// thread would (write to it, dup2 over it) and its result is ignored.
class FaultHook {
 public:
  virtual ~FaultHook() = default;
  virtual int Before(Call call, int fd, const char* name, std::size_t& size) = 0;
};

// True when `a` and `b` are stats of one file (device and inode).
bool SameFile(const struct stat& a, const struct stat& b);

// Installs `hook` (null: none, the kernel only). For tests.
void SetFaultHook(FaultHook* hook);

// Fills the standard numbers 0-2 that are free, for good, with a descriptor
// that reads as empty and cannot be written (/dev/null opened for reading),
// so that nothing we open takes them; every Open() does this first. Call it
// too before anything else opens files for us (OpenSSL loading a provider).
void FillFreeStandardNumbers();

int Open(int folder, const char* path, int flags, mode_t mode = 0);
// Opens `path` in `folder` when no component of it is a symbolic link
// (openat2 RESOLVE_NO_SYMLINKS); ELOOP when one is, and also where the kernel
// has no openat2, so the caller then walks the path itself.
int OpenWithoutLinks(int folder, const char* path, int flags);
// A copy of `fd`, above the standard descriptors and close-on-exec.
int Duplicate(int fd);
ssize_t Read(int fd, void* buffer, std::size_t size);
ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset);
ssize_t Write(int fd, const void* bytes, std::size_t size);
off_t Seek(int fd, off_t offset, int whence);
int Sync(int fd);
// Never a cancellation point (FileDescriptor closes in its destructor).
int Close(int fd);
int Stat(int fd, struct stat& info);
int StatAt(int folder, const char* name, struct stat& info, int flags);
int Rename(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags = 0);
int Link(int fromFolder, const char* from, int toFolder, const char* to, int flags);
int Unlink(int folder, const char* name, int flags = 0);
int MakeFolder(int folder, const char* name, mode_t mode);
int ChangeMode(int fd, mode_t mode);
int ChangeOwner(int fd, uid_t owner, gid_t group);
int Truncate(int fd, off_t size);
int Lock(int fd, int operation);
int AccessAt(int folder, const char* name, int mode, int flags);
// The target of the link `name` in `folder` (no terminating null; "" names
// the link `folder` itself, opened with O_PATH); -1 on failure.
ssize_t ReadLink(int folder, const char* name, char* buffer, std::size_t size);
// The f_type of the file system `fd` is on (PROC_SUPER_MAGIC...).
int FileSystemType(int fd, long& type);
// Takes `fd` (a folder opened for reading); closedir() closes it.
DIR* OpenFolderListing(int fd);
// The next entry, or null at the end (errno 0) or on failure (errno set).
dirent* NextEntry(DIR* listing);

}  // namespace ZQ::RVL::Utils::internal::files
