// Config latency next to its baseline, one fsync of a small file, measured in
// the same run on the same file system:
//   GetString on a domain of 10 and of 1,000 keys   (parses the file each time)
//   SetString on a domain of 10 and of 1,000 keys   (lock, re-read, write, 2 fsyncs)
//   BaselineFsyncSmallFile                          (write 100 bytes + fsync)
// Each reports the median and the 99th percentile of single calls (p50_us,
// p99_us) besides Google Benchmark's mean. The store lives in a temporary
// folder (ZQ_PREFERENCES_ROOT, on the file system of $TMPDIR or /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "utils/config/Config.h"

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

// Times each call of `op` and reports the median and 99th percentile.
template <typename Op>
void TimeEach(benchmark::State& state, Op op) {
  std::vector<double> micros;
  for (auto _ : state) {
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
BENCHMARK(GetString)->Arg(1000)->Iterations(500)->Unit(benchmark::kMicrosecond);

void SetString(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const Config config = FilledDomain(keys);
  const std::string key = "key" + std::to_string(keys / 2);
  int i = 0;
  TimeEach(state,
           [&] { config.SetString(key, std::string(20, static_cast<char>('a' + i++ % 26))); });
}
BENCHMARK(SetString)->Arg(10)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(SetString)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);

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

}  // namespace

BENCHMARK_MAIN();
