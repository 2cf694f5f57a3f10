// The file layer under a hostile host: every step of every durable write
// failing in turn (through the layer's fault seam), descriptors 0-2 closed,
// another program rewriting a settings file in place, another writer slipping
// in before a commit, and owners kept across writes by root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "tests/support/FileFaults.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceTransfer.h"
#include "utils/crypto/Crypto.h"
#include "utils/file/AtomicFile.h"
#include "utils/file/File.h"
#include "utils/file/FileCalls.h"

using ZQ::RVL::Utils::Config;
namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace files = ZQ::RVL::Utils::internal::files;
using files::Call;
namespace fs = std::filesystem;

namespace {

using Faults = zqtest::FileFaults;

class FileLayer : public zqtest::PreferencesTest {
 protected:
  const Config config_{1, "App", "Acme"};
  const std::string domain_ = "com.acme.App";

  fs::path Folder() const { return dir_.Path() / "user"; }
  // Entries that are neither the settings file nor its lock file.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& name : Entries(Folder())) {
      if (name != domain_ + ".plist" && name != domain_ + ".plist.lock") left.push_back(name);
    }
    return left;
  }
  std::string Value(const std::string& key) const {
    std::string value = "(none)";
    config_.GetString(key, value);
    return value;
  }
};

// Every durable write path, each step of it failing in turn: the write is
// stored whole or not at all, nothing else stored is lost, nothing is left
// beside the file, and the next write works. Short reads and writes and
// interrupted calls change nothing at all.
TEST_F(FileLayer, EveryStepOfEveryWriteFailingLosesNothing) {
  struct Path {
    const char* name;
    std::function<void()> prepare;  // the state before the write
    std::function<void()> write;
    const char* key;       // the key the write changes
    const char* newValue;  // its value after the write, "(none)" when deleted
  };
  std::string imported;
  {
    config_.SetString("key", "imported");
    config_.SetString("other", "kept");
    ASSERT_TRUE(ZQ::RVL::Utils::ExportPreferences(
        1, "App", "Acme", ZQ::RVL::Utils::PreferenceFormat::kBinary, imported));
  }
  const auto existing = [&] {
    fs::remove_all(Folder());
    config_.SetString("key", "old");
    config_.SetString("other", "kept");
  };
  const Path paths[] = {
      {"SetString", existing, [&] { config_.SetString("key", "new"); }, "key", "new"},
      {"Delete", existing, [&] { config_.Delete("key"); }, "key", "(none)"},
      {"SetString of a new domain", [&] { fs::remove_all(Folder()); },
       [&] { config_.SetString("key", "new"); }, "key", "new"},
      {"ImportPreferences", existing,
       [&] {
         std::string why;
         ZQ::RVL::Utils::ImportPreferences(1, "App", "Acme", imported, why);
       },
       "key", "imported"},
  };
  for (const Path& path : paths) {
    path.prepare();
    const std::string before = Value(path.key);
    int counts[files::kCallKinds] = {};
    {
      const Faults counter(Faults::Mode::kCount);
      path.write();
      for (int kind = 0; kind < files::kCallKinds; ++kind) {
        counts[kind] = counter.Count(static_cast<Call>(kind));
      }
    }
    for (int kind = 0; kind < files::kCallKinds; ++kind) {
      const auto call = static_cast<Call>(kind);
      for (int n = 1; n <= counts[kind]; ++n) {
        SCOPED_TRACE(std::string(path.name) + ", call kind " +
                     std::to_string(static_cast<int>(call)) + " failing at its " +
                     std::to_string(n) + "th");
        path.prepare();
        {
          const Faults fail(Faults::Mode::kFailNth, call, n);
          path.write();
        }
        const std::string now = Value(path.key);
        EXPECT_TRUE(now == before || now == path.newValue) << now;
        if (std::string(path.name) != "SetString of a new domain") {
          EXPECT_EQ("kept", Value("other"));
        }
        EXPECT_EQ(std::vector<std::string>{}, Leftovers());
        config_.SetString("after", "works");
        EXPECT_EQ("works", Value("after"));
      }
    }
    for (const Faults::Mode mode : {Faults::Mode::kShort, Faults::Mode::kInterrupt}) {
      SCOPED_TRACE(std::string(path.name) +
                   (mode == Faults::Mode::kShort ? ", short calls" : ", interrupted calls"));
      path.prepare();
      {
        const Faults odd(mode);
        path.write();
      }
      EXPECT_EQ(path.newValue, Value(path.key));
      EXPECT_EQ(std::vector<std::string>{}, Leftovers());
    }
  }
}

// A power cut through the seam: from the chosen call on, every call fails
// (the process is gone), and the folder is then put back as a disk that kept
// only what was fsynced would have it: a file's bytes as of its last fsync
// (none for a file never synced), a folder's entries as of its last fsync
// (everything there at the start counts as synced).
class PowerCut : public files::FaultHook {
 public:
  PowerCut(const fs::path& root, int cutAt) : root_(root), cutAt_(cutAt) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) Record(entry.path());
    Record(root);
    files::SetFaultHook(this);
  }
  ~PowerCut() override { files::SetFaultHook(nullptr); }
  PowerCut(const PowerCut&) = delete;
  PowerCut& operator=(const PowerCut&) = delete;

  int Before(Call call, int fd, const char*, std::size_t&) override {
    if (++calls_ >= cutAt_) return EIO;
    if (call == Call::kSync) Record("/proc/self/fd/" + std::to_string(fd));
    return 0;
  }
  int Calls() const { return calls_; }
  bool Cut() const { return calls_ >= cutAt_; }

  // Puts the folder back as the disk kept it.
  void Restore() {
    files::SetFaultHook(nullptr);
    const ino_t top = Inode(root_);
    fs::remove_all(root_);
    Rebuild(root_, top);
  }

 private:
  static ino_t Inode(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  }
  void Record(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return;
    if (S_ISREG(info.st_mode)) {
      bytes_[info.st_ino] = zqtest::ReadFile(path.string());
    } else if (S_ISDIR(info.st_mode)) {
      std::map<std::string, std::pair<ino_t, bool>>& entries = folders_[info.st_ino];
      entries.clear();
      for (const auto& entry : fs::directory_iterator(path)) {
        struct stat child {};
        if (::lstat(entry.path().c_str(), &child) != 0) continue;
        entries[entry.path().filename().string()] = {child.st_ino, S_ISDIR(child.st_mode)};
      }
    }
  }
  void Rebuild(const fs::path& path, ino_t folder) {
    fs::create_directory(path);
    for (const auto& [name, entry] : folders_[folder]) {
      if (entry.second) {
        Rebuild(path / name, entry.first);
      } else {
        zqtest::WriteFile((path / name).string(), bytes_[entry.first]);
      }
    }
  }

  fs::path root_;
  int cutAt_;
  int calls_ = 0;
  std::map<ino_t, std::string> bytes_;
  std::map<ino_t, std::map<std::string, std::pair<ino_t, bool>>> folders_;
};

// A cut at every call of a run of writes (new and existing keys, a delete,
// the domain's first write): every write that returned before the cut is
// there, the one in flight is old or new, and the file is never damaged.
TEST_F(FileLayer, APowerCutAtAnyCallLosesNoFinishedWrite) {
  const std::vector<std::function<void()>> writes = {
      [&] { config_.SetString("a", "1"); }, [&] { config_.SetString("b", "2"); },
      [&] { config_.SetString("a", "3"); }, [&] { config_.Delete("b"); }};
  const std::vector<std::map<std::string, std::string>> after = {{{"a", "1"}, {"b", "(none)"}},
                                                                 {{"a", "1"}, {"b", "2"}},
                                                                 {{"a", "3"}, {"b", "2"}},
                                                                 {{"a", "3"}, {"b", "(none)"}}};
  for (int cutAt = 1;; ++cutAt) {
    SCOPED_TRACE("cut at call " + std::to_string(cutAt));
    fs::remove_all(dir_.Path() / "user");
    fs::create_directories(dir_.Path() / "user");
    std::size_t finished = 0;
    bool cut = false;
    {
      PowerCut power(dir_.Path(), cutAt);
      for (const auto& write : writes) {
        write();
        if (power.Cut()) break;
        ++finished;
      }
      cut = power.Cut();
      power.Restore();
    }
    if (!cut) break;  // every call made it: all cut points are done
    const std::map<std::string, std::string> none = {{"a", "(none)"}, {"b", "(none)"}};
    const auto& old = finished == 0 ? none : after[finished - 1];
    for (const auto& [key, value] : old) {
      const std::string now = Value(key);
      EXPECT_TRUE(now == value || now == after[finished].at(key)) << key << " = " << now;
    }
    config_.SetString("probe", "1");
    for (const std::string& name : Entries(Folder())) {
      EXPECT_EQ(std::string::npos, name.find(".corrupt-")) << name;
    }
  }
}

// Two guards before a commit, each on its own: the lock file must still be
// the one at its path (another writer took a new one after it was removed),
// and the file must still hold what was read (another program replaced it
// without the lock). Either way the write is made again on top, and nothing
// the other wrote is lost.
TEST_F(FileLayer, ANewWriterSlippingInBeforeTheCommitLosesNothing) {
  const std::string file = UserFile(domain_);
  // A file holding {theirs: 1} as another program might write it.
  std::string theirs;
  {
    const Config other(1, "Other", "Acme");
    other.SetString("theirs", "1");
    theirs = zqtest::ReadFile(UserFile("com.acme.Other"));
  }
  struct Row {
    const char* what;
    std::function<void()> slipIn;  // runs while this writer is about to commit
  };
  // The other writer is a process started beforehand (a fork during a store
  // call would wait for that call): it waits for the word, then reads the
  // file at once, passes its own checks and renames well after this writer
  // would have committed.
  zqtest::Pipe go;
  const auto startOtherWriter = [&] {
    return zqtest::Spawn([&] {
      std::uint32_t word = 0;
      if (!go.Receive(word)) return false;
      struct Pause : files::FaultHook {
        int Before(Call call, int, const char*, std::size_t&) override {
          if (call == Call::kRename && !paused) {  // its checks passed; only the rename is left
            paused = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
          }
          return 0;
        }
        bool paused = false;
      } pause;
      files::SetFaultHook(&pause);
      config_.SetString("theirs", "1");
      files::SetFaultHook(nullptr);
      return true;
    });
  };
  pid_t otherWriter = -1;
  const Row rows[] = {
      {"a writer on a new lock file",
       [&] {
         // A new lock file that reads finished: its holder, a process that
         // looked at this folder before, does not look for strays again.
         fs::remove(file + ".lock");
         zqtest::WriteFile(file + ".lock", "ok");
         ::chmod((file + ".lock").c_str(), 0600);
         go.Send(1);
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
       }},
      {"another program replacing the file",
       [&] {
         zqtest::WriteFile(file + ".new", theirs);
         fs::rename(file + ".new", file);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Folder());
    config_.SetString("mine", "0");
    struct SlipIn : files::FaultHook {
      explicit SlipIn(const Row& r) : row(r) {}
      int Before(Call call, int, const char*, std::size_t&) override {
        if (call == Call::kSync && !done) {
          done = true;
          row.slipIn();
        }
        return 0;
      }
      const Row& row;
      bool done = false;
    } slipIn(row);
    // A second write under a finished lock file records that this process
    // looked for strays, which its child inherits.
    config_.SetString("mine", "0");
    if (&row == &rows[0]) otherWriter = startOtherWriter();
    files::SetFaultHook(&slipIn);
    config_.SetString("mine", "1");
    files::SetFaultHook(nullptr);
    if (&row == &rows[0]) {
      EXPECT_EQ(0, zqtest::Wait(otherWriter));
    }
    EXPECT_EQ("1", Value("mine"));
    EXPECT_EQ("1", Value("theirs"));
  }
}

// Whoever may write the folder can swap another file in under the temporary
// name between its link and its rename. Swapped before the commit's check,
// the old file stays; swapped in the instant between the check and the rename
// (when the swapper could as well replace the file itself), the commit says
// that what is in place is not what it wrote. Never a silent success.
TEST_F(FileLayer, ACommitPutsOnlyItsOwnFileInPlaceOrSaysSo) {
  const fs::path folder = dir_.Path() / "swap";
  fs::create_directories(folder);
  const std::string target = (folder / "file").string();
  struct Swap : files::FaultHook {
    Swap(const fs::path& f, Call c) : folder(f), at(c) {}
    int Before(Call call, int, const char* name, std::size_t&) override {
      if (swapped || call != at) return 0;
      const bool temporary =
          name != nullptr && std::string(name).find(".tmp-") != std::string::npos;
      if (at == Call::kStat && !temporary) return 0;  // the check of the temporary name
      swapped = true;
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".tmp-") == std::string::npos) continue;
        zqtest::WriteFile((folder / "planted").string(), "planted");
        fs::rename(folder / "planted", entry.path());
      }
      return 0;
    }
    fs::path folder;
    Call at;
    bool swapped = false;
  };
  struct Row {
    const char* when;
    Call at;
    const char* expected;  // in place afterwards
  };
  const Row rows[] = {{"before the check", Call::kStat, "old"},
                      {"after the check", Call::kRename, "planted"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.when);
    zqtest::WriteFile(target, "old");
    ZQ::RVL::Utils::internal::AtomicFile file;
    ASSERT_TRUE(file.Begin(target, {}));
    ASSERT_TRUE(file.Write("mine"));
    Swap swap(folder, row.at);
    files::SetFaultHook(&swap);
    const bool committed = file.Commit();
    const int error = errno;
    files::SetFaultHook(nullptr);
    EXPECT_TRUE(swap.swapped);
    EXPECT_FALSE(committed);
    EXPECT_EQ(ESTALE, error);
    EXPECT_EQ(row.expected, zqtest::ReadFile(target));
  }
}

// A signal that ends the tool between the temporary file's link and its
// rename (its handler calls RemoveTemporariesNow) leaves no name behind,
// whether the temporary file was unnamed until then or named from the start.
TEST_F(FileLayer, ASignalJustBeforeTheRenameLeavesNoTemporaryName) {
  const fs::path folder = dir_.Path() / "signal";
  fs::create_directories(folder);
  struct Signal : files::FaultHook {
    explicit Signal(const fs::path& f) : folder(f) {}
    int Before(Call call, int fd, const char* name, std::size_t&) override {
      if (call == Call::kRename && !handled) {
        handled = true;
        ZQ::RVL::Utils::internal::RemoveTemporariesNow();
        for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path());
      }
      // The unnamed file is made by an open of "." in the opened folder (the
      // walk to the folder, when it has to walk, opens "." only in an O_PATH
      // descriptor of it).
      const bool unnamed = call == Call::kOpen && fd >= 0 && name != nullptr &&
                           std::string(name) == "." && (::fcntl(fd, F_GETFL) & O_PATH) == 0;
      return unnamedFails && unnamed ? EOPNOTSUPP : 0;
    }
    fs::path folder;
    bool handled = false;
    bool unnamedFails = false;
    std::vector<fs::path> left;
    ~Signal() override { files::SetFaultHook(nullptr); }  // also when an ASSERT leaves
  };
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named from the start" : "unnamed until the commit");
    ZQ::RVL::Utils::internal::AtomicFile file;
    Signal signal(folder);
    signal.unnamedFails = named;
    files::SetFaultHook(&signal);
    ASSERT_TRUE(file.Begin((folder / "out").string(), {}));
    ASSERT_TRUE(file.Write("new"));
    EXPECT_FALSE(file.Commit());
    files::SetFaultHook(nullptr);
    EXPECT_TRUE(signal.handled);
    EXPECT_EQ(std::vector<fs::path>{}, signal.left);
  }
}

// A host that closed descriptors 0-2 (a daemon) and a thread of it writing
// to them all the time: none of our files may take one of those numbers, or
// the host's lines land in them, and the host's own file put on one of them
// stays its own. Each row adds one more thing the host does.
TEST_F(FileLayer, AHostWithoutStandardDescriptorsKeepsItsSettingsAndContainers) {
#if defined(__SANITIZE_THREAD__)
  // The host's own race (writing to numbers another thread opens and closes)
  // is what ThreadSanitizer reports; the other builds run it.
  GTEST_SKIP() << "the host's descriptor race is what ThreadSanitizer reports";
#endif
  const std::string plain = zqtest::ReadFile("/proc/self/exe").substr(0, 100000);
  zqtest::WriteFile(dir_.File("plain"), plain);
  zqtest::WriteFile(dir_.File("empty"), "");
  ASSERT_TRUE(
      Crypto::FileEncrypt(dir_.File("empty").c_str(), dir_.File("empty.box").c_str(), false));
  const std::string logPath = dir_.File("log");
  enum class Host {
    kWrites,               // it only writes to 0-2 (a thread, all the time)
    kPutsLogHalfway,       // and halfway puts its log on 2 (dup2), to keep
    kFreesTwoThenWrites,   // and frees 2 just before our opens, then writes
                           // to it before we move what we got there
    kFreesTwoThenPutsLog,  // and frees 2, then puts its log there first
  };
  // The host's thread at each open of the layer: just before it (counting
  // the standard numbers free then, where the file would land) and, when the
  // open got a standard number, just after it.
  struct AtEachOpen : files::FaultHook {
    Host host = Host::kWrites;
    int log = -1;
    int opens = 0;
    std::atomic<int> free{0};
    int Before(Call call, int fd, const char* name, std::size_t&) override {
      if (call != Call::kOpen) return 0;
      const bool frees = host == Host::kFreesTwoThenWrites || host == Host::kFreesTwoThenPutsLog;
      if (name == nullptr && host == Host::kFreesTwoThenWrites) {
        const ssize_t ignored = ::write(fd, "host noise\n", 11);
        static_cast<void>(ignored);
      } else if (name == nullptr && host == Host::kFreesTwoThenPutsLog) {
        ::dup2(log, fd);
      } else if (frees) {
        // The log put on 2 not on the open made again after it, or it never ends.
        if (host == Host::kFreesTwoThenWrites || ++opens % 2 == 1) ::close(2);
      } else {
        for (int number = 0; number <= 2; ++number) free += ::fcntl(number, F_GETFD) < 0 ? 1 : 0;
      }
      return 0;
    }
  };
  struct Row {
    const char* what;
    Host host;
  };
  const Row rows[] = {
      {"it only writes to them", Host::kWrites},
      {"it puts its log on 2 halfway", Host::kPutsLogHalfway},
      {"it frees 2 and writes to it", Host::kFreesTwoThenWrites},
      {"it frees 2 and puts its log there", Host::kFreesTwoThenPutsLog},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Folder());
    EXPECT_EQ(
        0, zqtest::RunInChild([&] {
          ::alarm(60);
          ::signal(SIGPIPE, SIG_IGN);
          const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
          for (int fd = 0; fd <= 2; ++fd) ::close(fd);
          std::atomic<bool> stop{false};
          // Where the host acts at the instant of our open, that hook is the
          // host; the writing thread is the host of the first two rows only.
          const bool hookIsTheHost =
              row.host == Host::kFreesTwoThenWrites || row.host == Host::kFreesTwoThenPutsLog;
          std::thread noise([&] {
            while (!stop && !hookIsTheHost) {
              for (int fd = 0; fd <= 2; ++fd) {
                const ssize_t ignored = ::write(fd, "host noise\n", 11);
                static_cast<void>(ignored);
              }
            }
          });
          AtEachOpen hook;
          hook.host = row.host;
          hook.log = log;
          files::SetFaultHook(&hook);
          bool ok = true;
          for (int i = 0; i < 60 && ok; ++i) {
            if (i == 30 && row.host == Host::kPutsLogHalfway) ok = ::dup2(log, 2) == 2;
            const std::string key = "k" + std::to_string(i);
            config_.SetString(key, std::to_string(i));
            std::string value;
            ok = ok && config_.GetString(key, value) && value == std::to_string(i);
            if (i % 5 != 0) continue;
            ::unlink(dir_.File("empty.back").c_str());  // made anew each time
            // The input named as the output is refused, and stays as it was.
            const std::string in = dir_.File("plain");
            ok = ok && !Crypto::FileEncrypt(in.c_str(), in.c_str(), false) &&
                 zqtest::ReadFile(in) == plain &&
                 Crypto::FileEncrypt(in.c_str(), dir_.File("box").c_str(), false) &&
                 Crypto::FileDecrypt(dir_.File("box").c_str(), dir_.File("back").c_str(), false) &&
                 zqtest::ReadFile(dir_.File("back")) == plain &&
                 Crypto::FileDecrypt(dir_.File("empty.box").c_str(),
                                     dir_.File("empty.back").c_str(), false) &&
                 zqtest::ReadFile(dir_.File("empty.back")).empty();
          }
          files::SetFaultHook(nullptr);
          stop = true;
          noise.join();
          // The log the host put on 2 is still there, with its own lines only.
          struct stat put {};
          struct stat there {};
          const bool logKept = row.host != Host::kPutsLogHalfway ||
                               (::fstat(log, &put) == 0 && ::fstat(2, &there) == 0 &&
                                put.st_ino == there.st_ino && put.st_dev == there.st_dev);
          // Whatever in the log is not the host's own lines came from us. (In
          // one pass: the host writes for as long as the loop runs, megabytes
          // under a sanitizer.)
          const std::string logged = zqtest::ReadFile(logPath);
          const std::string_view line = "host noise\n";
          std::size_t foreign = 0;
          for (std::size_t at = 0; at < logged.size();) {
            if (logged.compare(at, line.size(), line) == 0) {
              at += line.size();
            } else {
              ++foreign, ++at;
            }
          }
          return ok && logKept && foreign == 0 && hook.free == 0;
        }));
    for (const std::string& name : Entries(Folder())) {
      EXPECT_EQ(std::string::npos, name.find(".corrupt-")) << name;
    }
  }
}

// Another program rewriting the settings file in place (open with O_TRUNC,
// then write) leaves it half-written for a moment, or for as long as it
// pauses between its writes; a write that reads it then must not set it
// aside as damaged (which drops that program's keys from the live file).
TEST_F(FileLayer, AFileRewrittenInPlaceIsNeverTakenForDamaged) {
  struct Row {
    const char* what;
    int pauseMicroseconds;  // between the two halves
    int rewrites;           // 0: for as long as we write
    int ourWrites;
  };
  const Row rows[] = {
      {"again and again, half-written a third of the time", 5000, 0, 30},
      {"once, pausing 300 ms half-way", 300000, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Folder());
    config_.SetString("theirs", "1");
    const std::string file = UserFile(domain_);
    const std::string bytes = zqtest::ReadFile(file);
    const pid_t rewriter = zqtest::Spawn([&] {
      for (int done = 0; row.rewrites == 0 || done < row.rewrites; ++done) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0) continue;
        const std::size_t half = bytes.size() / 2;
        bool written = ::write(fd, bytes.data(), half) == static_cast<ssize_t>(half);
        ::usleep(static_cast<useconds_t>(row.pauseMicroseconds));
        written = written && ::write(fd, bytes.data() + half, bytes.size() - half) > 0;
        ::close(fd);
        ::usleep(written ? 10000 : 0);
      }
      return true;
    });
    ::usleep(50000);  // the one rewrite is half-way
    for (int i = 0; i < row.ourWrites; ++i) config_.SetString("mine", std::to_string(i));
    // One rewrite is let finish; endless ones are stopped, maybe half-way.
    if (row.rewrites == 0) ::kill(rewriter, SIGKILL);
    zqtest::Wait(rewriter);
    for (const std::string& name : Entries(Folder())) {
      EXPECT_EQ(std::string::npos, name.find(".corrupt-")) << name;
    }
    if (row.rewrites != 0) {
      EXPECT_EQ("1", Value("theirs"));
    }
  }
}

// Root writing a user's settings (a service with that user's HOME, sudo -E)
// leaves every file the user's, so the user can still read and write them.
TEST_F(FileLayer, RootWritingAUsersSettingsLeavesThemTheUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kUser = 65534;
  struct Row {
    const char* what;
    std::function<void()> prepare;
  };
  const Row rows[] = {
      {"an existing file of the user",
       [&] {
         config_.SetString("key", "old");
         for (const auto& entry : fs::recursive_directory_iterator(dir_.Path())) {
           ASSERT_EQ(0, ::lchown(entry.path().c_str(), kUser, kUser));
         }
       }},
      {"a new file in the user's folder",
       [&] {
         fs::create_directories(Folder());
         ASSERT_EQ(0, ::chown(Folder().c_str(), kUser, kUser));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Folder());
    row.prepare();
    config_.SetString("key", "new");
    EXPECT_EQ("new", Value("key"));
    for (const std::string& name : Entries(Folder())) {
      struct stat info {};
      ASSERT_EQ(0, ::lstat((Folder() / name).c_str(), &info));
      EXPECT_EQ(kUser, info.st_uid) << name;
      EXPECT_EQ(kUser, info.st_gid) << name;
    }
  }
}

}  // namespace

namespace {

// A writer's check that the file is still what it read: compared piece by
// piece, it must see a difference in any piece, at either end, and in the
// length, and refuse what the reader refuses.
TEST_F(FileLayer, AFileIsComparedWholeWithWhatWasRead) {
  namespace internal = ZQ::RVL::Utils::internal;
  std::string read(200000, 'r');
  for (std::size_t i = 0; i < read.size(); ++i) read[i] = static_cast<char>('a' + i % 23);
  const auto changed = [&](std::size_t at) {
    std::string bytes = read;
    bytes[at] = '#';
    return bytes;
  };
  const fs::path file = dir_.Path() / "compared";
  const struct {
    const char* what;
    std::optional<std::string> onDisk;  // none: nothing at the path
    internal::ReadStatus status;
    bool same;
  } rows[] = {
      {"the same bytes", read, internal::ReadStatus::kOk, true},
      {"the first byte changed", changed(0), internal::ReadStatus::kOk, false},
      {"a byte changed at a piece's end", changed(65535), internal::ReadStatus::kOk, false},
      {"the last byte changed", changed(read.size() - 1), internal::ReadStatus::kOk, false},
      {"one byte more", read + "x", internal::ReadStatus::kOk, false},
      {"one byte less", read.substr(1), internal::ReadStatus::kOk, false},
      {"empty", std::string(), internal::ReadStatus::kOk, false},
      {"nothing there", std::nullopt, internal::ReadStatus::kMissing, false},
      {"beyond the limit", read + std::string(300000, 'x'), internal::ReadStatus::kTooLarge, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(file);
    if (row.onDisk) zqtest::WriteFile(file.string(), *row.onDisk);
    bool same = !row.same;
    EXPECT_EQ(row.status, internal::CompareWholeFile(file.string(), {false}, 400000, read, same));
    EXPECT_EQ(row.same, same);
  }
  fs::remove(file);
  fs::create_symlink(dir_.Path() / "elsewhere", file);
  zqtest::WriteFile((dir_.Path() / "elsewhere").string(), read);
  bool same = true;
  EXPECT_EQ(internal::ReadStatus::kError,
            internal::CompareWholeFile(file.string(), {false}, 400000, read, same));
  EXPECT_FALSE(same);
}

}  // namespace
