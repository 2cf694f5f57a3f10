// Measures figures and their baselines round-robin in one process, so that
// whatever else the machine does at a given moment (other builds, the disk
// writing back) weighs on a figure and its baselines alike, and their ratio
// can be trusted where figures measured one after the other could not (three
// such runs gave 0.77, 1.52 and 1.95 for one ratio). Not thread-safe: one
// benchmark thread runs a set of contenders.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace zqbench {

// One measured operation. Each function returns false when it failed (a value
// read back is not the one expected, a write did not happen); the run then
// stops with that contender's name as the error.
struct Contender {
  std::string name;  // as in bench/pairs.tsv: "GetStringAfterChange/1000"
  bool baseline = false;
  // Timed, once per call.
  std::function<bool()> call;
  // Untimed, before each call (prepares the state the call must meet, such
  // as a file just replaced); may be empty.
  std::function<bool()> beforeCall;
  // Untimed, before each batch (undoes what another contender's batch did to
  // shared state, such as the files the store keeps decoded); may be empty.
  std::function<bool()> beforeBatch;
};

// Runs one untimed warm-up round, then R rounds (ZQ_BENCH_ROUNDS, else 25): in
// each, one batch of `batch` calls of every contender, in an order that
// rotates by one each round so that each goes first as often as the others. A
// contender's figure for a round is the median of its batch's single calls;
// its time is the median of its round figures. Pairs every contender that is
// not a baseline with every baseline, and for each pair takes the ratio
// figure / baseline of every round. Sets these counters on `state`:
//   us:NAME                    the contender's time, in microseconds
//   ratio:FIGURE:BASELINE      median of the round ratios
//   p10:, p90:, min:, max:     their 10th and 90th percentiles, extremes
//   rounds                     R
// Call once, inside `for (auto _ : state)`, in a benchmark of one iteration.
void RunInterleaved(benchmark::State& state, const std::vector<Contender>& contenders, int batch);

}  // namespace zqbench
