#include "bench/Interleaved.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace zqbench {

namespace {

constexpr int kDefaultRounds = 25;

int Rounds() {
  const char* text = std::getenv("ZQ_BENCH_ROUNDS");
  const int rounds = text != nullptr ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : kDefaultRounds;
}

// The value at fraction `q` of the way through `values`, nearest rank.
double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

// Runs one batch of `contender` and returns the median of its calls in
// microseconds, or a negative number when a function of it failed.
double RunBatch(const Contender& contender, int batch, std::vector<double>& micros) {
  micros.clear();
  if (contender.beforeBatch && !contender.beforeBatch()) return -1;
  for (int i = 0; i < batch; ++i) {
    if (contender.beforeCall && !contender.beforeCall()) return -1;
    const auto start = std::chrono::steady_clock::now();
    const bool done = contender.call();
    const auto stop = std::chrono::steady_clock::now();
    if (!done) return -1;
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  return Quantile(micros, 0.5);
}

}  // namespace

void RunInterleaved(benchmark::State& state, const std::vector<Contender>& contenders, int batch) {
  const int rounds = Rounds();
  const std::size_t count = contenders.size();
  // figures[c][r]: contender c's median in round r.
  std::vector<std::vector<double>> figures(count);
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(batch));
  for (int round = -1; round < rounds; ++round) {  // round -1 warms up
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t c = (k + static_cast<std::size_t>(round + 1)) % count;
      const double median = RunBatch(contenders[c], batch, micros);
      if (median < 0) {
        state.SkipWithError((contenders[c].name + " failed").c_str());
        return;
      }
      if (round >= 0) figures[c].push_back(median);
    }
  }
  for (std::size_t c = 0; c < count; ++c) {
    state.counters["us:" + contenders[c].name] = Quantile(figures[c], 0.5);
  }
  for (std::size_t f = 0; f < count; ++f) {
    if (contenders[f].baseline) continue;
    for (std::size_t b = 0; b < count; ++b) {
      if (!contenders[b].baseline) continue;
      std::vector<double> ratios;
      for (int r = 0; r < rounds; ++r) ratios.push_back(figures[f][r] / figures[b][r]);
      const std::string pair = contenders[f].name + ":" + contenders[b].name;
      state.counters["ratio:" + pair] = Quantile(ratios, 0.5);
      state.counters["p10:" + pair] = Quantile(ratios, 0.1);
      state.counters["p90:" + pair] = Quantile(ratios, 0.9);
      state.counters["min:" + pair] = Quantile(ratios, 0);
      state.counters["max:" + pair] = Quantile(ratios, 1);
    }
  }
  state.counters["rounds"] = rounds;
}

}  // namespace zqbench
