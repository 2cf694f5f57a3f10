// Config latency next to its baselines, on the file system of the store
// (ZQ_BENCH_DIR, else $TMPDIR or /tmp), on domains of 10, 1,000 and 10,000
// keys, each holding distinct 20-character values (SettingsData.h).
//
// Figures with baselines run interleaved (Interleaved.h): a figure and its
// baselines take turns in batches, round after round, in one process.
//   GetString/N                      the domain file did not change since the last
//                                    read: the store reuses what it decoded
//     BaselineStatRead/N             open + fstat + read of the same file
//   GetStringAfterChange/N           the file was replaced by a rename since the
//                                    last read (another process's write): the
//                                    first read of new bytes
//     BaselineStatReadAfterChange/N  open + fstat + read of the file just replaced
//     BaselineGKeyFileLoad/N         GLib's GKeyFile loading a key file of the same
//                                    keys and values, just replaced
//     BaselineSqliteReadAfterWrite/N one key from SQLite after another connection
//                                    wrote (PeerBaselines.h)
//   GetStringWarmDomains/D           warm reads of D domains of 1,000 keys in turn
//                                    (D = 8, 9, 64), none of which changes
//     GetStringWarmDomains/1         the same reads of one domain
//   SetString/N                      a new value (lock, re-read, rewrite, fsync the
//                                    file and its folder)
//     BaselineAtomicReplace/N        the store file's bytes written to a new file,
//                                    fsync, rename over the old one, fsync of the
//                                    folder: the least an atomic replacement does
//     BaselineWriteFsync/N           the same bytes rewritten in place + both fsyncs:
//                                    what no crash-safe store can do (a crash
//                                    mid-write leaves a cut file)
//     BaselineSqliteWrite/N          SQLite (WAL, synchronous=FULL) setting one key
// The GLib and SQLite baselines are there when those libraries were found.
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
#include <string>
#include <vector>

#include "bench/Interleaved.h"
#include "bench/PeerBaselines.h"
#include "bench/SettingsData.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
using ZQ::RVL::Utils::ConfigStatus;
using zqbench::Contender;
using zqbench::KeyName;
using zqbench::ReadFile;
using zqbench::ReplaceByRename;
using zqbench::ValueOf;
namespace fs = std::filesystem;

namespace {

// A store folder for the whole run, removed at exit.
class BenchStore {
 public:
  BenchStore() {
    const char* root = std::getenv("ZQ_BENCH_DIR");
    const fs::path parent =
        root != nullptr && *root != '\0' ? fs::path(root) : fs::temp_directory_path();
    std::string pattern = (parent / "zqbench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    ::setenv("ZQ_PREFERENCES_ROOT", path_.c_str(), 1);
    ::setenv("ZQ_HOST_ID", "bench", 1);
  }
  ~BenchStore() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  // The folder of the current user's domain files.
  std::string UserFolder() const { return path_ + "/user"; }

 private:
  std::string path_;
};

BenchStore& Store() {
  static BenchStore store;
  return store;
}

// The file of the current user's domain `name`.
std::string DomainFile(const std::string& name) {
  return Store().UserFolder() + "/com.zq." + name + ".plist";
}

// Fills the current user's domain `name` with `keys` keys at version 0 of
// their values. The keys but the first go in as one XML file, since one
// SetString per key would rewrite the file `keys` times; the SetString of the
// first makes the store write the file itself. Returns false when it refused.
bool FillDomain(const std::string& name, int keys) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
  for (int i = 1; i < keys; ++i) {
    xml += "<key>" + KeyName(i) + "</key><string>" + ValueOf(name, i, 0) + "</string>";
  }
  fs::create_directories(Store().UserFolder());
  if (!ReplaceByRename(DomainFile(name), xml + "</dict></plist>")) return false;
  ConfigStatus status;
  return Config(1, name, "ZQ").SetString(KeyName(0), ValueOf(name, 0, 0), status);
}

// An open + fstat + read of the whole file at `path` into `buffer`: the least
// a reader of a file-backed store must do. Returns false when it failed.
bool StatRead(const std::string& path, std::vector<char>& buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool read = ::fstat(fd, &info) == 0;
  if (read) {
    buffer.resize(static_cast<std::size_t>(info.st_size));
    read = ::read(fd, buffer.data(), buffer.size()) == info.st_size;
  }
  ::close(fd);
  benchmark::DoNotOptimize(buffer.data());
  return read;
}

// Adds the peers' baseline made by `make` to `contenders`; false, with the
// benchmark stopped, when it could not be set up.
template <typename Make>
bool AddPeer(benchmark::State& state, std::vector<Contender>& contenders, Make make) {
  Contender contender;
  std::string error;
  if (!make(contender, error)) {
    state.SkipWithError(("peer baseline: " + error).c_str());
    return false;
  }
  contenders.push_back(std::move(contender));
  return true;
}

// Calls of each contender in a batch, by domain size.
int Batch(int keys, int small, int medium, int large) {
  return keys <= 10 ? small : keys <= 1000 ? medium : large;
}

void InterleavedGetString(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const std::string name = "Warm" + std::to_string(keys);
  if (!FillDomain(name, keys)) return state.SkipWithError("cannot fill the domain");
  const Config config(1, name, "ZQ");
  const std::string path = DomainFile(name);
  const std::string key = KeyName(keys / 2);
  const std::string expected = ValueOf(name, keys / 2, 0);
  std::string value;
  std::vector<char> buffer;
  std::vector<Contender> contenders(2);
  contenders[0].name = "GetString/" + std::to_string(keys);
  contenders[0].call = [&] { return config.GetString(key, value) && value == expected; };
  contenders[1].name = "BaselineStatRead/" + std::to_string(keys);
  contenders[1].baseline = true;
  contenders[1].call = [&] { return StatRead(path, buffer); };
  for (auto _ : state) zqbench::RunInterleaved(state, contenders, Batch(keys, 200, 200, 100));
}
BENCHMARK(InterleavedGetString)->Arg(10)->Arg(1000)->Arg(10000)->Iterations(1);

// The store's file of a domain alternates between two files that the store
// wrote, A (every key at version 0) and B (key `keys / 2` at version 1),
// each put in place by a rename before every call, as another process's write
// would. The store keeps what it read last, so each read meets bytes new to it.
void InterleavedGetStringAfterChange(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const int changed = keys / 2;
  const std::string name = "After" + std::to_string(keys);
  const Config config(1, name, "ZQ");
  const std::string path = DomainFile(name);
  const std::string key = KeyName(changed);
  const std::string values[2] = {ValueOf(name, changed, 0), ValueOf(name, changed, 1)};
  std::string files[2];
  ConfigStatus status;
  if (!FillDomain(name, keys)) return state.SkipWithError("cannot fill the domain");
  files[0] = ReadFile(path);
  if (!config.SetString(key, values[1], status)) return state.SkipWithError("cannot change");
  files[1] = ReadFile(path);
  if (files[0].empty() || files[0] == files[1]) return state.SkipWithError("files A and B equal");

  int flips = 0;
  int baselineFlips = 0;
  const std::string* expected = nullptr;
  std::string value;
  std::vector<char> buffer;
  std::vector<Contender> contenders(2);
  contenders[0].name = "GetStringAfterChange/" + std::to_string(keys);
  contenders[0].beforeCall = [&] {
    const int version = flips++ % 2;
    expected = &values[version];
    return ReplaceByRename(path, files[version]);
  };
  contenders[0].call = [&] { return config.GetString(key, value) && value == *expected; };
  contenders[1].name = "BaselineStatReadAfterChange/" + std::to_string(keys);
  contenders[1].baseline = true;
  contenders[1].beforeCall = [&] { return ReplaceByRename(path, files[baselineFlips++ % 2]); };
  contenders[1].call = [&] {
    return StatRead(path, buffer) && buffer.size() == files[(baselineFlips + 1) % 2].size();
  };
#ifdef ZQ_BENCH_WITH_GLIB
  if (!AddPeer(state, contenders, [&](Contender& c, std::string& error) {
        return zqbench::GKeyFileReadAfterChange(Store().Path(), name, keys, changed, c, error);
      })) {
    return;
  }
#endif
#ifdef ZQ_BENCH_WITH_SQLITE
  if (!AddPeer(state, contenders, [&](Contender& c, std::string& error) {
        return zqbench::SqliteReadAfterWrite(Store().Path(), name, keys, changed, c, error);
      })) {
    return;
  }
#endif
  for (auto _ : state) zqbench::RunInterleaved(state, contenders, Batch(keys, 50, 20, 8));
}
BENCHMARK(InterleavedGetStringAfterChange)->Arg(10)->Arg(1000)->Arg(10000)->Iterations(1);

// Warm reads spread over many domains, none of which changes: each call reads
// the next domain in turn, a key that moves on each time round. Before each
// batch every domain of it is read, so that the batch starts from what its own
// reads leave in the store, not from another contender's.
void InterleavedGetStringWarmDomains(benchmark::State& state) {
  constexpr int kKeys = 1000;
  constexpr int kProbes = 16;  // keys read in each domain
  const int counts[] = {1, 8, 9, 64};
  struct Probe {
    std::string key;
    std::string expected;
  };
  std::vector<Config> configs;
  std::vector<std::vector<Probe>> probes;
  for (int d = 0; d < 64; ++d) {
    const std::string name = "Domain" + std::to_string(d);
    if (!FillDomain(name, kKeys)) return state.SkipWithError("cannot fill a domain");
    configs.emplace_back(1, name, "ZQ");
    probes.emplace_back();
    for (int j = 0; j < kProbes; ++j) {
      const int index = (d * 131 + j * 61) % kKeys;
      probes.back().push_back({KeyName(index), ValueOf(name, index, 0)});
    }
  }
  std::string value;
  std::vector<int> calls(std::size(counts));
  std::vector<Contender> contenders(std::size(counts));
  for (std::size_t c = 0; c < std::size(counts); ++c) {
    const int domains = counts[c];
    contenders[c].name = "GetStringWarmDomains/" + std::to_string(domains);
    contenders[c].baseline = domains == 1;
    // (Twice: a store may keep a file's dictionary only once it read the
    // same bytes twice, as this one does.)
    contenders[c].beforeBatch = [&, domains] {
      for (int d = 0; d < 2 * domains; ++d) {
        if (!configs[d % domains].GetString(probes[d % domains][0].key, value)) return false;
      }
      return true;
    };
    contenders[c].call = [&, domains, c] {
      const int call = calls[c]++;
      const Probe& probe = probes[call % domains][(call / domains) % kProbes];
      return configs[call % domains].GetString(probe.key, value) && value == probe.expected;
    };
  }
  for (auto _ : state) zqbench::RunInterleaved(state, contenders, 128);
}
BENCHMARK(InterleavedGetStringWarmDomains)->Iterations(1);

// Writes `bytes` to a new file beside `path`, fsyncs it, renames it over
// `path` and fsyncs `folder`, the folder of both.
bool AtomicReplace(const std::string& folder, const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool done = fd >= 0 && dir >= 0 &&
              ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  done = done && ::rename(temporary.c_str(), path.c_str()) == 0 && ::fsync(dir) == 0;
  if (!done) ::unlink(temporary.c_str());
  if (dir >= 0) ::close(dir);
  return done;
}

// Rewrites the file at `path` in place with `bytes` and fsyncs it and `folder`.
bool WriteInPlace(const std::string& folder, const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool done = fd >= 0 && dir >= 0 &&
                    ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                    ::fsync(fd) == 0 && ::fsync(dir) == 0;
  if (fd >= 0) ::close(fd);
  if (dir >= 0) ::close(dir);
  return done;
}

// SetString of a new value each call next to writing the bytes of the store's
// file (as it stands after filling) in the same folder.
void InterleavedSetString(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const int changed = keys / 2;
  const std::string name = "Set" + std::to_string(keys);
  if (!FillDomain(name, keys)) return state.SkipWithError("cannot fill the domain");
  const Config config(1, name, "ZQ");
  const std::string folder = Store().UserFolder();
  const std::string bytes = ReadFile(DomainFile(name));
  const std::string key = KeyName(changed);
  int version = 0;
  std::string value;
  ConfigStatus status;
  std::vector<Contender> contenders(3);
  contenders[0].name = "SetString/" + std::to_string(keys);
  contenders[0].beforeCall = [&] {
    value = ValueOf(name, changed, ++version);
    return true;
  };
  contenders[0].call = [&] { return config.SetString(key, value, status); };
  contenders[1].name = "BaselineAtomicReplace/" + std::to_string(keys);
  contenders[1].baseline = true;
  contenders[1].call = [&] { return AtomicReplace(folder, folder + "/replace-baseline", bytes); };
  contenders[2].name = "BaselineWriteFsync/" + std::to_string(keys);
  contenders[2].baseline = true;
  contenders[2].call = [&] { return WriteInPlace(folder, folder + "/write-baseline", bytes); };
#ifdef ZQ_BENCH_WITH_SQLITE
  if (!AddPeer(state, contenders, [&](Contender& c, std::string& error) {
        return zqbench::SqliteWrite(Store().Path(), name, keys, changed, c, error);
      })) {
    return;
  }
#endif
  for (auto _ : state) zqbench::RunInterleaved(state, contenders, 10);
  if (!config.GetString(key, value) || value != ValueOf(name, changed, version)) {
    state.SkipWithError("the last value was not stored");
  }
}
BENCHMARK(InterleavedSetString)->Arg(10)->Arg(1000)->Arg(10000)->Iterations(1);

// Times each call of `op`, after an untimed call of `prepare`, and reports
// the median and 99th percentile: for the figures below, which have no
// baseline to take turns with or one that is no rival of theirs.
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

// The largest files the store accepts (Config::kMaxContentBytes and kMaxEntries),
// read and written through Config, next to writing a file of the same size:
//   LargestFileRead/0, /1      a read right after the file changed (a parse)
//   LargestFileWrite/0, /1     a SetString or SetData of one value
//   BaselineLargestWrite/0, /1 write + fsync + fsync of the folder, same size
// Shape 0: kMaxEntries keys of 20-character values; shape 1: one byte value
// just under kMaxContentBytes; shape 2: kMaxEntries keys whose texts fill
// kMaxContentBytes (the writer costs most per text byte).
std::string LargestFile(int shape) {
  return DomainFile("Largest" + std::to_string(shape));
}

Config LargestDomain(int shape) {
  Store();
  Config config(1, "Largest" + std::to_string(shape), "ZQ");
  if (!config.GetKeys().empty()) return config;
  if (shape != 1) {
    // Written as XML in one go; the SetString below rewrites it in binary.
    // (The XML form of shape 2 must stay within the limit too.)
    const std::size_t length = shape == 0 ? 20 : Config::kMaxContentBytes / Config::kMaxEntries - 48;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    for (std::size_t i = 0; i < Config::kMaxEntries; ++i) {
      // Distinct texts: libplist's writer stores equal ones once.
      const std::string number = std::to_string(i);
      xml += "<key>key" + number + "</key><string>" + number +
             std::string(length - number.size(), 'v') + "</string>";
    }
    fs::create_directories(Store().UserFolder());
    std::ofstream(LargestFile(shape), std::ios::binary | std::ios::trunc)
        << xml << "</dict></plist>";
    config.SetString("key0", std::string(20, 'w'));
  } else {
    const std::string bytes(Config::kMaxContentBytes - 4096, 'd');
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
  std::string bytes(Config::kMaxContentBytes - 4096, 'd');
  bytes[bytes.size() / 2] = c;
  config.SetData("blob", reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()));
}

void LargestFileRead(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  const Config config = LargestDomain(shape);
  const std::string path = LargestFile(shape);
  const std::string before = ReadFile(path);
  ChangeLargest(config, shape, 1);
  const std::string after = ReadFile(path);
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
  const bool large = state.range(0) != 0;
  const std::size_t references = large ? 250 : 18000;
  const std::size_t plain = large ? Config::kMaxContentBytes - 4096 - 5 * references : 180000;
  const std::string name = "LargestReferences" + std::to_string(state.range(0));
  const std::string path = DomainFile(name);
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
  fs::create_directories(Store().UserFolder());
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
  if (config.GetKeys().empty() || ReadFile(path).size() < 1000) {
    state.SkipWithError("the largest domain was not written");
  }
}
BENCHMARK(LargestFileWrite)->Arg(0)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);

void BaselineLargestWrite(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  LargestDomain(shape);
  const std::string folder = Store().UserFolder();
  const std::string path = folder + "/write-baseline";
  const std::string bytes(static_cast<std::size_t>(fs::file_size(LargestFile(shape))), 'b');
  TimeEach(state, [&] {
    if (!WriteInPlace(folder, path, bytes)) state.SkipWithError("write or fsync failed");
  });
}
BENCHMARK(BaselineLargestWrite)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
