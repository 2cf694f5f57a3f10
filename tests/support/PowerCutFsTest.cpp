// The power-cut file system keeps exactly what was synced (PowerCutFs.h): each
// case changes a mounted folder, cuts the power and compares the backing
// folder with what a disk would hold.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "tests/support/PowerCutFs.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;  // path -> bytes, "<folder>" for folders

Tree Contents(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    tree[name] = entry.is_directory() ? "<folder>" : zqtest::ReadFile(entry.path().string());
  }
  return tree;
}

void Put(const fs::path& path, const std::string& bytes, bool sync) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
  EXPECT_TRUE(!sync || ::fsync(fd) == 0);
  ::close(fd);
}

void SyncFolder(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(0, ::fsync(fd));
  ::close(fd);
}

struct Case {
  const char* what;
  std::function<void(const fs::path&)> act;  // on the mounted folder
  Tree after;                                // the backing folder after the cut
};

}  // namespace

// The backing folder starts with old = "old" and dir/kept = "kept".
TEST(PowerCutFs, KeepsOnlyWhatWasSynced) {
  if (const std::string why = zqtest::PowerCutMount::Unusable(); !why.empty()) GTEST_SKIP() << why;
  const Tree start{{"old", "old"}, {"dir", "<folder>"}, {"dir/kept", "kept"}};
  auto with = [&](Tree changes) {
    Tree tree = start;
    for (const auto& [name, bytes] : changes) {
      if (bytes == "<gone>") {
        tree.erase(name);
      } else {
        tree[name] = bytes;
      }
    }
    return tree;
  };
  const Case cases[] = {
      {"a write without fsync is gone", [](auto m) { Put(m / "old", "new", false); }, start},
      {"a write with fsync stays", [](auto m) { Put(m / "old", "new", true); },
       with({{"old", "new"}})},
      {"a new name needs its folder synced",
       [](auto m) { Put(m / "new", "x", true); }, start},
      {"a new name in a synced folder without fsync is empty",
       [](auto m) { Put(m / "new", "x", false), SyncFolder(m); }, with({{"new", ""}})},
      {"a rename without a folder fsync is undone",
       [](auto m) {
         Put(m / "tmp", "new", true), SyncFolder(m);
         fs::rename(m / "tmp", m / "old");
       },
       with({{"tmp", "new"}})},
      {"a rename with a folder fsync stays",
       [](auto m) {
         Put(m / "tmp", "new", true), fs::rename(m / "tmp", m / "old"), SyncFolder(m);
       },
       with({{"old", "new"}})},
      {"an unlink without a folder fsync is undone",
       [](auto m) { fs::remove(m / "old"), fs::remove(m / "dir/kept"); }, start},
      {"an unlink with a folder fsync stays",
       [](auto m) { fs::remove(m / "dir/kept"), SyncFolder(m / "dir"); },
       with({{"dir/kept", "<gone>"}})},
      {"a new folder needs its parent synced",
       [](auto m) {
         fs::create_directory(m / "sub"), Put(m / "sub/f", "y", true), SyncFolder(m / "sub");
       },
       start},
      {"a file moved between folders needs the target folder synced",
       [](auto m) { fs::rename(m / "dir/kept", m / "kept"), SyncFolder(m / "dir"); },
       with({{"dir/kept", "<gone>"}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zqtest::TempDir backing, mount;
    for (const auto& [name, bytes] : start) {
      if (bytes == "<folder>") fs::create_directory(backing.Path() / name);
      else zqtest::WriteFile(backing.File(name), bytes);
    }
    zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
    ASSERT_TRUE(fuse.Mounted());
    c.act(mount.Path());
    ASSERT_TRUE(fuse.Cut());
    EXPECT_EQ(c.after, Contents(backing.Path()));
  }
}

// Before the cut, readers see every change at once, as in a page cache.
TEST(PowerCutFs, ServesChangesBeforeTheCut) {
  if (const std::string why = zqtest::PowerCutMount::Unusable(); !why.empty()) GTEST_SKIP() << why;
  zqtest::TempDir backing, mount;
  zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
  ASSERT_TRUE(fuse.Mounted());
  fs::create_directory(mount.Path() / "dir");
  Put(mount.Path() / "dir/a", "unsynced", false);
  fs::rename(mount.Path() / "dir/a", mount.Path() / "b");
  fs::resize_file(mount.Path() / "b", 2);
  EXPECT_EQ((Tree{{"b", "un"}, {"dir", "<folder>"}}), Contents(mount.Path()));
}
