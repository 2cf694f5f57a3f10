// Config latency next to its baselines, measured in the same run on the same
// file system, on domains of 10, 100, 1,000 and 10,000 keys:
//   GetString                 (reads the unchanged domain file; reuses its dictionary)
//   GetStringAfterChange      (the file was replaced since the last read: a parse)
//   BaselineStatRead          one stat + read of the same file
//   SetString                 (lock, re-read, rewrite, fsync the file and its folder)
//   BaselineWriteFsync        write of a same-sized file + fsync of it + fsync of its folder,
//                             in place: what no crash-safe store can do (a crash mid-write
//                             leaves a cut file)
//   BaselineAtomicReplace     the same through a new file renamed over the old one: the
//                             least an atomic replacement does, and what SetString's goal
//                             is measured against (on ext4 the new inode and the old one
//                             freed cost 1.5-1.9 times the in-place rewrite)
//   BaselineFsyncSmallFile    write 100 bytes + fsync
// Each reports the median and the 99th percentile of single calls (p50_us,
// p99_us) besides Google Benchmark's mean. The store lives in a temporary
// folder (ZQ_PREFERENCES_ROOT, on the file system of $TMPDIR or /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "utils/config/Config.h"
#include "utils/config/store/PlistRules.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

// A store folder for the whole run, removed at exit.
class BenchStore {
 public:
  BenchStore() {
    std::string pattern = (fs::temp_directory_path() / "zqbench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    ::setenv("ZQ_PREFERENCES_ROOT", path_.c_str(), 1);
    ::setenv("ZQ_HOST_ID", "bench", 1);
  }
  ~BenchStore() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

BenchStore& Store() {
  static BenchStore store;
  return store;
}

// A domain of `keys` keys of 20-character values, filled once per run.
Config FilledDomain(int keys) {
  Store();
  Config config(1, "Bench" + std::to_string(keys), "ZQ");
  if (static_cast<int>(config.GetKeys().size()) != keys) {
    for (int i = 0; i < keys; ++i)
      config.SetString("key" + std::to_string(i), std::string(20, 'v'));
  }
  return config;
}

// Times each call of `op`, after an untimed call of `prepare`, and reports
// the median and 99th percentile.
template <typename Op, typename Prepare>
void TimeEach(benchmark::State& state, Op op, Prepare prepare) {
  std::vector<double> micros;
  for (auto _ : state) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    op();
    const auto stop = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](std::size_t percent) {
    return micros[std::min(micros.size() - 1, micros.size() * percent / 100)];
  };
  state.counters["p50_us"] = at(50);
  state.counters["p99_us"] = at(99);
}

template <typename Op>
void TimeEach(benchmark::State& state, Op op) {
  TimeEach(state, op, [] {});
}

void GetString(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const Config config = FilledDomain(keys);
  const std::string key = "key" + std::to_string(keys / 2);
  std::string value;
  TimeEach(state, [&] {
    if (!config.GetString(key, value)) state.SkipWithError("value missing");
    benchmark::DoNotOptimize(value);
  });
}
BENCHMARK(GetString)->Arg(10)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetString)->Arg(100)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetString)->Arg(1000)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetString)->Arg(10000)->Iterations(100)->Unit(benchmark::kMicrosecond);

// The file behind a filled domain of `keys` keys.
std::string DomainFile(int keys) {
  FilledDomain(keys);
  return Store().Path() + "/user/com.zq.Bench" + std::to_string(keys) + ".plist";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Puts `bytes` in place of the file at `path` by a rename, as another
// process's write would.
bool ReplaceByRename(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".bench-new";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << bytes;
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

// A GetString right after the file changed (another process wrote a value),
// so that the read cannot reuse what it decoded before: the cost of a parse.
void GetStringAfterChange(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const Config config = FilledDomain(keys);
  const std::string path = DomainFile(keys);
  const std::string key = "key" + std::to_string(keys / 2);
  const std::string before = ReadAll(path);
  config.SetString("changed", "yes");
  const std::string after = ReadAll(path);
  config.Delete("changed");
  int flips = 0;
  std::string value;
  TimeEach(
      state,
      [&] {
        if (!config.GetString(key, value)) state.SkipWithError("value missing");
        benchmark::DoNotOptimize(value);
      },
      [&] {
        if (!ReplaceByRename(path, flips++ % 2 == 0 ? after : before)) {
          state.SkipWithError("cannot replace the domain file");
        }
      });
  ReplaceByRename(path, before);
}
BENCHMARK(GetStringAfterChange)->Arg(10)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetStringAfterChange)->Arg(100)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetStringAfterChange)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetStringAfterChange)->Arg(10000)->Iterations(50)->Unit(benchmark::kMicrosecond);

// One stat and one read of the whole domain file: the least a reader of a
// file-backed store must do.
void BaselineStatRead(benchmark::State& state) {
  const std::string path = DomainFile(static_cast<int>(state.range(0)));
  std::vector<char> buffer;
  TimeEach(state, [&] {
    struct stat info {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &info) != 0) state.SkipWithError("cannot read the domain file");
    buffer.resize(static_cast<std::size_t>(info.st_size));
    if (::read(fd, buffer.data(), buffer.size()) != info.st_size) state.SkipWithError("short read");
    ::close(fd);
    benchmark::DoNotOptimize(buffer.data());
  });
}
BENCHMARK(BaselineStatRead)->Arg(10)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineStatRead)->Arg(100)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineStatRead)->Arg(1000)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineStatRead)->Arg(10000)->Iterations(100)->Unit(benchmark::kMicrosecond);

void SetString(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const Config config = FilledDomain(keys);
  const std::string key = "key" + std::to_string(keys / 2);
  int i = 0;
  TimeEach(state,
           [&] { config.SetString(key, std::string(20, static_cast<char>('a' + i++ % 26))); });
}
BENCHMARK(SetString)->Arg(10)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(SetString)->Arg(100)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(SetString)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(SetString)->Arg(10000)->Iterations(50)->Unit(benchmark::kMicrosecond);

// Writing a file of the domain file's size durably in place: write it, fsync
// it, fsync its folder. Not crash-safe; below what any replacement costs.
void BaselineWriteFsync(benchmark::State& state) {
  const std::string source = DomainFile(static_cast<int>(state.range(0)));
  const auto size = static_cast<std::size_t>(fs::file_size(source));
  const std::string folder = Store().Path() + "/user";
  const std::string path = folder + "/write-baseline";
  const std::string bytes(size, 'b');
  TimeEach(state, [&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || dir < 0 || ::write(fd, bytes.data(), size) != static_cast<ssize_t>(size) ||
        ::fsync(fd) != 0 || ::fsync(dir) != 0) {
      state.SkipWithError("write or fsync failed");
    }
    ::close(fd);
    ::close(dir);
  });
}
BENCHMARK(BaselineWriteFsync)->Arg(10)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineWriteFsync)->Arg(100)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineWriteFsync)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineWriteFsync)->Arg(10000)->Iterations(50)->Unit(benchmark::kMicrosecond);

// Replacing a file of the domain file's size atomically: write a new file,
// fsync it, rename it over the old one, fsync the folder. Unlike an in-place
// rewrite, the rename leaves the folder with something to write back.
void BaselineAtomicReplace(benchmark::State& state) {
  const std::string source = DomainFile(static_cast<int>(state.range(0)));
  const auto size = static_cast<std::size_t>(fs::file_size(source));
  const std::string folder = Store().Path() + "/user";
  const std::string path = folder + "/replace-baseline";
  const std::string temporary = path + ".new";
  const std::string bytes(size, 'b');
  TimeEach(state, [&] {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && dir >= 0 &&
                         ::write(fd, bytes.data(), size) == static_cast<ssize_t>(size) &&
                         ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0 || ::fsync(dir) != 0) {
      ::unlink(temporary.c_str());
      state.SkipWithError("write, fsync or rename failed");
    }
    if (dir >= 0) ::close(dir);
  });
}
BENCHMARK(BaselineAtomicReplace)->Arg(10)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineAtomicReplace)->Arg(100)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineAtomicReplace)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BaselineAtomicReplace)->Arg(10000)->Iterations(50)->Unit(benchmark::kMicrosecond);

// One write of 100 bytes and its fsync, in the store's folder.
void BaselineFsyncSmallFile(benchmark::State& state) {
  const std::string path = Store().Path() + "/fsync-baseline";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot create the baseline file");
    return;
  }
  const std::string bytes(100, 'b');
  TimeEach(state, [&] {
    if (::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ::fsync(fd) != 0) {
      state.SkipWithError("write or fsync failed");
    }
  });
  ::close(fd);
}
BENCHMARK(BaselineFsyncSmallFile)->Iterations(300)->Unit(benchmark::kMicrosecond);

// The largest files the store accepts (utils/config/store/PlistRules.h), read
// and written through Config, next to writing a file of the same size:
//   LargestFileRead/0, /1      a read right after the file changed (a parse)
//   LargestFileWrite/0, /1     a SetString or SetData of one value
//   BaselineLargestWrite/0, /1 write + fsync + fsync of the folder, same size
// Shape 0: kMaxPlistEntries keys of 20-character values; shape 1: one byte
// value just under kMaxContentBytes; shape 2: kMaxPlistEntries keys whose texts
// fill kMaxContentBytes (libplist's writer costs most per text byte).
std::string LargestFile(int shape) {
  return Store().Path() + "/user/com.zq.Largest" + std::to_string(shape) + ".plist";
}

Config LargestDomain(int shape) {
  namespace P = ZQ::RVL::Utils::Preferences;
  Store();
  Config config(1, "Largest" + std::to_string(shape), "ZQ");
  if (!config.GetKeys().empty()) return config;
  if (shape != 1) {
    // Written as XML in one go; the SetString below rewrites it in binary.
    // (The XML form of shape 2 must stay within the limit too.)
    const std::size_t length = shape == 0 ? 20 : P::kMaxContentBytes / P::kMaxPlistEntries - 48;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    for (std::size_t i = 0; i < P::kMaxPlistEntries; ++i) {
      // Distinct texts: libplist's writer stores equal ones once.
      const std::string number = std::to_string(i);
      xml += "<key>key" + number + "</key><string>" + number +
             std::string(length - number.size(), 'v') + "</string>";
    }
    fs::create_directories(Store().Path() + "/user");
    std::ofstream(LargestFile(shape), std::ios::binary | std::ios::trunc)
        << xml << "</dict></plist>";
    config.SetString("key0", std::string(20, 'w'));
  } else {
    const std::string bytes(P::kMaxContentBytes - 4096, 'd');
    config.SetData("blob", reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()));
  }
  return config;
}

// Stores a new value in the largest domain of `shape`: the `i`th.
void ChangeLargest(const Config& config, int shape, int i) {
  const char c = static_cast<char>('a' + i % 26);
  if (shape != 1) {
    config.SetString("key7", std::string(20, c));
    return;
  }
  std::string bytes(ZQ::RVL::Utils::Preferences::kMaxContentBytes - 4096, 'd');
  bytes[bytes.size() / 2] = c;
  config.SetData("blob", reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()));
}

void LargestFileRead(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  const Config config = LargestDomain(shape);
  const std::string path = LargestFile(shape);
  const std::string before = ReadAll(path);
  ChangeLargest(config, shape, 1);
  const std::string after = ReadAll(path);
  int flips = 0;
  TimeEach(
      state,
      [&] {
        std::string value;
        unsigned char* data = nullptr;
        std::uint32_t length = 0;
        // (Shape 2's texts are too long for GetString: it lists the keys.)
        const bool read = shape == 0   ? config.GetString("key7", value)
                          : shape == 1 ? config.GetData("blob", data, length)
                                       : !config.GetKeys().empty();
        delete[] data;
        if (!read) state.SkipWithError("value missing");
      },
      [&] {
        if (!ReplaceByRename(path, flips++ % 2 == 0 ? after : before)) {
          state.SkipWithError("cannot replace the domain file");
        }
      });
  state.counters["file_bytes"] = static_cast<double>(before.size());
}
BENCHMARK(LargestFileRead)->Arg(0)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);

// The costliest XML references the store accepts (PlistXmlCheck.cpp): libplist
// moves the rest of a text down over each one. Read after each change, next to
// LargestFileRead/1 (a byte value of the same size) in the same run:
//   LargestReferenceRead/0  18,000 references then 180 KB, as plistlib writes
//   LargestReferenceRead/1  250 references then 16 MiB, the moves out of cache
void LargestReferenceRead(benchmark::State& state) {
  namespace P = ZQ::RVL::Utils::Preferences;
  const bool large = state.range(0) != 0;
  const std::size_t references = large ? 250 : 18000;
  const std::size_t plain = large ? P::kMaxContentBytes - 4096 - 5 * references : 180000;
  const std::string name = "LargestReferences" + std::to_string(state.range(0));
  const std::string path = Store().Path() + "/user/com.zq." + name + ".plist";
  const Config config(1, name, "ZQ");
  std::string texts[2];
  for (const char c : {'a', 'b'}) {
    std::string& xml = texts[c - 'a'];
    xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist "
        "version=\"1.0\"><dict><key>t</key><string>";
    for (std::size_t i = 0; i < references; ++i) xml += "&amp;";
    xml += std::string(plain, c) + "</string></dict></plist>";
  }
  fs::create_directories(Store().Path() + "/user");
  int flips = 0;
  TimeEach(
      state,
      [&] {
        if (config.GetKeys().size() != 1) state.SkipWithError("file refused");
      },
      [&] {
        if (!ReplaceByRename(path, texts[flips++ % 2])) state.SkipWithError("cannot replace");
      });
  state.counters["file_bytes"] = static_cast<double>(texts[0].size());
}
BENCHMARK(LargestReferenceRead)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);

void LargestFileWrite(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  const Config config = LargestDomain(shape);
  const std::string path = LargestFile(shape);
  int i = 0;
  TimeEach(state, [&] { ChangeLargest(config, shape, i++); });
  if (config.GetKeys().empty() || ReadAll(path).size() < 1000) {
    state.SkipWithError("the largest domain was not written");
  }
}
BENCHMARK(LargestFileWrite)->Arg(0)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);

void BaselineLargestWrite(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  LargestDomain(shape);
  const std::string folder = Store().Path() + "/user";
  const std::string path = folder + "/write-baseline";
  const std::string bytes(static_cast<std::size_t>(fs::file_size(LargestFile(shape))), 'b');
  TimeEach(state, [&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool written = fd >= 0 && dir >= 0 &&
                         ::write(fd, bytes.data(), bytes.size()) ==
                             static_cast<ssize_t>(bytes.size()) &&
                         ::fsync(fd) == 0 && ::fsync(dir) == 0;
    if (fd >= 0) ::close(fd);
    if (dir >= 0) ::close(dir);
    if (!written) state.SkipWithError("write or fsync failed");
  });
}
BENCHMARK(BaselineLargestWrite)->Arg(0)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
