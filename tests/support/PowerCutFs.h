// The power-cut file system: a FUSE file system (the program zq_power_cut_fs,
// built from PowerCutFs.cpp) that behaves like a disk whose power can be cut,
// and PowerCutMount, which a test uses to mount it and to cut the power.
//
// What survives a cut (the model):
//   - A file's bytes survive as they were at its last fsync or fdatasync; the
//     bytes of a file never synced are empty. Writes, truncations and O_TRUNC
//     after that are lost.
//   - A folder's entries (names and the files or folders they name) survive as
//     they were at its last fsync; a folder never synced survives empty. So a
//     create, rename, unlink, mkdir or rmdir is lost until the folder that
//     holds the name is synced, and both folders for a rename across folders.
//     Syncing a file never makes its name durable, nor does syncing a folder
//     make its files' bytes durable.
//   - What the backing folder held when the file system was mounted counts as
//     synced. Modes are kept as they were at the cut; times and owners are not
//     modelled. sync(), syncfs() and O_SYNC are not sync points here unless
//     the kernel turns them into an fsync of the file.
// The file system serves every operation from memory, one at a time, so
// each operation is atomic and a cut falls between two operations; readers see
// every change at once, as they would see a page cache. It ends by losing
// power: on SIGTERM, SIGINT or SIGHUP it replaces the contents of the backing
// folder with the synced state and unmounts, and the backing folder then holds
// what the disk would hold after a cut at that instant. Stopped any other way
// (an unmount) it does the same but exits with status 3.
#pragma once

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace zqtest {

class PowerCutMount {
 public:
  // Returns why the power-cut file system cannot run here ("" when it can): it
  // needs /dev/fuse and the right to mount (root, or fusermount3).
  static std::string Unusable() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
    if (::geteuid() != 0 && ::access("/usr/bin/fusermount3", X_OK) != 0) {
      return "not root and no fusermount3";
    }
    return "";
  }

  // Mounts the file system over `backing` at `mountPoint` (both existing
  // folders) and waits until it serves; Mounted() tells whether it does.
  PowerCutMount(const std::filesystem::path& backing, const std::filesystem::path& mountPoint)
      : mountPoint_(mountPoint) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies cuts the power too
      ::execl(ZQ_POWER_CUT_FS_PATH, ZQ_POWER_CUT_FS_PATH, backing.c_str(), mountPoint.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int wait = 0; pid_ > 0 && wait < 2000 && !Mounted(); ++wait) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~PowerCutMount() { Cut(); }
  PowerCutMount(const PowerCutMount&) = delete;
  PowerCutMount& operator=(const PowerCutMount&) = delete;

  bool Mounted() const {
    struct statfs info {};
    constexpr long kFuseMagic = 0x65735546;
    return pid_ > 0 && ::statfs(mountPoint_.c_str(), &info) == 0 && info.f_type == kFuseMagic;
  }

  // Cuts the power now: every change not synced is dropped, the backing
  // folder holds the synced state and the mount is gone. Returns true when the
  // file system served until this cut and wrote the synced state; false when
  // it had stopped before (writes that seemed to return may have failed).
  bool Cut() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGTERM);
    // A signal that lands just before the file system waits for its next
    // request is seen only once a request comes: ask for statistics (which
    // change nothing) until it has gone.
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid_, &status, WNOHANG)) == 0) {
      struct statfs info {};
      ::statfs(mountPoint_.c_str(), &info);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool clean = ended == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    pid_ = -1;
    ::umount2(mountPoint_.c_str(), MNT_DETACH);  // only left behind by a crashed daemon
    return clean;
  }

 private:
  std::filesystem::path mountPoint_;
  pid_t pid_ = -1;
};

}  // namespace zqtest
