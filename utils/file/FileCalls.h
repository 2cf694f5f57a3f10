// Every system call on files that the library and the zqutil tool make, and
// the seam through which a test makes any of them fail. Private to the file
// layer (utils/file/): other code calls File.h and AtomicFile.h, or these
// wrappers where it needs one step of its own, and never the kernel directly
// (scripts/lint-files.py keeps it so).
//
// What every call here guarantees, whoever calls it:
// - a descriptor it makes is never 0, 1 or 2 (a host that closed its standard
//   descriptors must not have its stderr lines land in our files) and is
//   always close-on-exec. An open that got one of them moves it at once and
//   gives the number back (only while it is still ours), so the usual open
//   costs nothing more and the host's table is never held;
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
  kOpen,         // open, openat, O_TMPFILE
  kRead,         // read, pread
  kWrite,        // write
  kSync,         // fsync
  kClose,        // close (only the result: the descriptor goes anyway)
  kStat,         // fstat, fstatat
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
// one, else null; `fd` the descriptor when it has one, else -1.
class FaultHook {
 public:
  virtual ~FaultHook() = default;
  virtual int Before(Call call, int fd, const char* name, std::size_t& size) = 0;
};

// Installs `hook` (null: none, the kernel only). For tests.
void SetFaultHook(FaultHook* hook);

int Open(int folder, const char* path, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buffer, std::size_t size);
ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset);
ssize_t Write(int fd, const void* bytes, std::size_t size);
int Sync(int fd);
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
// Takes `fd` (a folder opened for reading); closedir() closes it.
DIR* OpenFolderListing(int fd);
// The next entry, or null at the end (errno 0) or on failure (errno set).
dirent* NextEntry(DIR* listing);

}  // namespace ZQ::RVL::Utils::internal::files
