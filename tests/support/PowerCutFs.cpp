// zq_power_cut_fs BACKING MOUNTPOINT: the power-cut file system; the model of
// what survives a cut is described in PowerCutFs.h.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Node;
using NodePtr = std::shared_ptr<Node>;
using Entries = std::map<std::string, NodePtr>;

// A file or a folder: what readers see now, and what survives a cut.
struct Node {
  bool folder = false;
  mode_t mode = 0;
  std::string data, syncedData;       // a file's bytes
  Entries entries, syncedEntries;     // a folder's names
};

NodePtr gRoot;
fuse_session* gSession = nullptr;
volatile std::sig_atomic_t gPowerLost = 0;
std::map<std::uint64_t, NodePtr> gOpen;  // open files by handle
std::uint64_t gNextHandle = 1;

NodePtr NewNode(bool folder, mode_t mode) {
  auto node = std::make_shared<Node>();
  node->folder = folder;
  node->mode = mode & 07777;
  return node;
}

NodePtr Find(const std::string& path) {
  NodePtr node = gRoot;
  std::size_t at = 1;
  while (node && at < path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const auto entry = node->entries.find(path.substr(at, end - at));
    node = entry == node->entries.end() ? nullptr : entry->second;
    at = end + 1;
  }
  return node;
}

// The folder that holds `path`, and the last name of `path`.
std::pair<NodePtr, std::string> Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  NodePtr folder = Find(path.substr(0, slash == 0 ? 1 : slash));
  if (folder && !folder->folder) folder = nullptr;
  return {folder, path.substr(slash + 1)};
}

NodePtr Opened(const fuse_file_info* fi, const char* path) {
  if (fi != nullptr) {
    const auto open = gOpen.find(fi->fh);
    if (open != gOpen.end()) return open->second;
  }
  return path != nullptr ? Find(path) : nullptr;
}

int Open(const NodePtr& node, fuse_file_info* fi) {
  if (fi->flags & O_TRUNC) node->data.clear();
  fi->fh = gNextHandle++;
  gOpen[fi->fh] = node;
  return 0;
}

NodePtr Load(const fs::path& path) {
  const fs::file_status status = fs::symlink_status(path);
  auto node = NewNode(fs::is_directory(status), static_cast<mode_t>(status.permissions()));
  if (node->folder) {
    for (const auto& entry : fs::directory_iterator(path)) {
      if (entry.is_directory() || entry.is_regular_file()) {
        node->entries[entry.path().filename()] = Load(entry.path());
      }
    }
  } else {
    std::ifstream in(path, std::ios::binary);
    node->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  node->syncedData = node->data;
  node->syncedEntries = node->entries;
  return node;
}

// Writes the synced state of `folder` into `path`. Renames and folder syncs
// can make the synced folders a cycle; `depth` stops at that.
void WriteSynced(const Node& folder, const fs::path& path, int depth) {
  if (depth > 64) return;
  for (const auto& [name, node] : folder.syncedEntries) {
    const fs::path target = path / name;
    std::error_code error;
    if (node->folder) {
      fs::create_directory(target, error);
      WriteSynced(*node, target, depth + 1);
    } else {
      std::ofstream(target, std::ios::binary) << node->syncedData;
    }
    fs::permissions(target, static_cast<fs::perms>(node->mode), error);
  }
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -ENOENT;
  *st = {};
  st->st_mode = (node->folder ? S_IFDIR : S_IFREG) | node->mode;
  st->st_nlink = node->folder ? 2 : 1;
  st->st_size = static_cast<off_t>(node->data.size());
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
            fuse_readdir_flags) {
  const NodePtr folder = Opened(fi, path);
  if (!folder || !folder->folder) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const auto& entry : folder->entries) fill(buf, entry.first.c_str(), nullptr, 0, {});
  return 0;
}

int Add(const char* path, const NodePtr& node) {
  const auto [folder, name] = Parent(path);
  if (!folder) return -ENOENT;
  if (!folder->entries.emplace(name, node).second) return -EEXIST;
  return 0;
}

int MakeDir(const char* path, mode_t mode) {
  return Add(path, NewNode(true, mode));
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  const NodePtr node = NewNode(false, mode);
  const int result = Add(path, node);
  return result != 0 ? result : Open(node, fi);
}

int Remove(const char* path, bool folder) {
  const auto [parent, name] = Parent(path);
  const auto entry = parent ? parent->entries.find(name) : Entries::iterator();
  if (!parent || entry == parent->entries.end()) return -ENOENT;
  if (entry->second->folder != folder) return folder ? -ENOTDIR : -EISDIR;
  if (folder && !entry->second->entries.empty()) return -ENOTEMPTY;
  parent->entries.erase(entry);
  return 0;
}

int Unlink(const char* path) {
  return Remove(path, false);
}

int RemoveDir(const char* path) {
  return Remove(path, true);
}

int Rename(const char* from, const char* to, unsigned int flags) {
  if (flags & ~RENAME_NOREPLACE) return -EINVAL;
  const auto [fromFolder, fromName] = Parent(from);
  const auto [toFolder, toName] = Parent(to);
  if (!fromFolder || !toFolder || fromFolder->entries.count(fromName) == 0) return -ENOENT;
  const NodePtr node = fromFolder->entries[fromName];
  const auto old = toFolder->entries.find(toName);
  if (old != toFolder->entries.end()) {
    if (old->second == node) return 0;
    if (flags & RENAME_NOREPLACE) return -EEXIST;
    if (old->second->folder != node->folder) return node->folder ? -ENOTDIR : -EISDIR;
    if (old->second->folder && !old->second->entries.empty()) return -ENOTEMPTY;
  }
  fromFolder->entries.erase(fromName);
  toFolder->entries[toName] = node;
  return 0;
}

int OpenFile(const char* path, fuse_file_info* fi) {
  const NodePtr node = Find(path);
  if (!node) return -ENOENT;
  return node->folder ? -EISDIR : Open(node, fi);
}

int OpenFolder(const char* path, fuse_file_info* fi) {
  const NodePtr node = Find(path);
  if (!node) return -ENOENT;
  return node->folder ? Open(node, fi) : -ENOTDIR;
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -EBADF;
  if (static_cast<std::size_t>(offset) >= node->data.size()) return 0;
  return static_cast<int>(node->data.copy(buf, size, static_cast<std::size_t>(offset)));
}

int Write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -EBADF;
  const std::size_t end = static_cast<std::size_t>(offset) + size;
  if (node->data.size() < end) node->data.resize(end);
  node->data.replace(static_cast<std::size_t>(offset), size, buf, size);
  return static_cast<int>(size);
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -ENOENT;
  if (node->folder) return -EISDIR;
  node->data.resize(static_cast<std::size_t>(size));
  return 0;
}

int ChangeMode(const char* path, mode_t mode, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -ENOENT;
  node->mode = mode & 07777;
  return 0;
}

// Owners and times are not modelled.
int ChangeOwner(const char*, uid_t, gid_t, fuse_file_info*) {
  return 0;
}

int ChangeTimes(const char*, const timespec*, fuse_file_info*) {
  return 0;
}

int SyncFile(const char* path, int, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -EBADF;
  node->syncedData = node->data;
  return 0;
}

int SyncFolder(const char* path, int, fuse_file_info* fi) {
  const NodePtr node = Opened(fi, path);
  if (!node) return -EBADF;
  node->syncedEntries = node->entries;
  return 0;
}

int Release(const char*, fuse_file_info* fi) {
  gOpen.erase(fi->fh);
  return 0;
}

void LosePower(int) {
  gPowerLost = 1;
  fuse_session_exit(gSession);  // what libfuse's own handlers do
}

// Cuts the power on SIGTERM, SIGINT and SIGHUP. No SA_RESTART: the read of
// the next request returns, and the loop ends before serving it.
bool CatchCutSignals() {
  struct sigaction action {};
  action.sa_handler = LosePower;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(signal, &action, nullptr) != 0) return false;
  }
  return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

void* Init(fuse_conn_info*, fuse_config* config) {
  // An unlinked file that is still open is gone from its folder at once, as
  // on a disk, and not renamed to a hidden name.
  config->hard_remove = 1;
  config->nullpath_ok = 1;
  return nullptr;
}

}  // namespace

// A cut abandons the requests libfuse still holds (an open folder's handle
// whose release never came): LeakSanitizer is told about libfuse's memory,
// and still checks ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfuse3.so\n";
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
    return 2;
  }
  const fs::path backing = argv[1];
  gRoot = Load(backing);

  fuse_operations operations{};
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.mkdir = MakeDir;
  operations.create = Create;
  operations.unlink = Unlink;
  operations.rmdir = RemoveDir;
  operations.rename = Rename;
  operations.open = OpenFile;
  operations.read = Read;
  operations.write = Write;
  operations.truncate = Truncate;
  operations.chmod = ChangeMode;
  operations.chown = ChangeOwner;
  operations.utimens = ChangeTimes;
  operations.fsync = SyncFile;
  operations.fsyncdir = SyncFolder;
  operations.release = Release;
  operations.opendir = OpenFolder;
  operations.releasedir = Release;
  operations.init = Init;

  char* arguments[] = {argv[0], nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, arguments);
  fuse* session = fuse_new(&args, &operations, sizeof operations, nullptr);
  gSession = session != nullptr ? fuse_get_session(session) : nullptr;
  if (session == nullptr || !CatchCutSignals() || fuse_mount(session, argv[2]) != 0) {
    std::fprintf(stderr, "%s: cannot mount %s\n", argv[0], argv[2]);
    return 1;
  }
  // One operation at a time: every operation is atomic against the cut.
  fuse_loop(session);

  // The power is gone: the disk keeps what was synced.
  std::error_code error;
  std::vector<fs::path> old;
  for (const auto& entry : fs::directory_iterator(backing, error)) old.push_back(entry.path());
  for (const fs::path& path : old) fs::remove_all(path, error);
  WriteSynced(*gRoot, backing, 0);
  fuse_unmount(session);
  fuse_destroy(session);
  fuse_opt_free_args(&args);
  if (!gPowerLost) {
    // Writes after this instant failed: a test must not count them as done.
    std::fprintf(stderr, "%s: the file system stopped before the power was cut\n", argv[0]);
    return 3;
  }
  return 0;
}
