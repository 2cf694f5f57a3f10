// GUID hot paths next to libuuid doing the same job in the same run:
//   ToString()      vs uuid_unparse_lower (and under a global locale that groups
//                   digits, where formatting falls back to an explicit locale)
//   Create(text)    vs uuid_parse (bare form; the braced form is measured too)
//   Create()        vs uuid_generate_random
//   Before, hash    (absolute: a few nanoseconds)
// Baselines are named "Baseline..." so scripts/bench.sh can pair them.
#include <benchmark/benchmark.h>
#include <uuid/uuid.h>

#include <functional>
#include <locale>
#include <string>

#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

const GUID kSample =
    GUID::Create(0x0123abcd, 0x4567, 0x89ef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10);
const std::string kText = "0123abcd-4567-89ef-fedc-ba9876543210";

void GuidToString(benchmark::State& state) {
  for (auto _ : state) {
    std::string text = kSample.ToString();
    benchmark::DoNotOptimize(text);
  }
}

// Groups digits in threes, as many national locales do.
class GroupingPunct : public std::numpunct<char> {
 public:
  GroupingPunct() : std::numpunct<char>(1) {}  // one reference: the locale never deletes it

 protected:
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

void GuidToStringGroupingLocale(benchmark::State& state) {
  static GroupingPunct punct;
  const std::locale previous = std::locale::global(std::locale(std::locale(), &punct));
  for (auto _ : state) {
    std::string text = kSample.ToString();
    benchmark::DoNotOptimize(text);
  }
  std::locale::global(previous);
}

void BaselineUuidUnparseLower(benchmark::State& state) {
  uuid_t id;
  uuid_parse(kText.c_str(), id);
  for (auto _ : state) {
    char out[37];
    uuid_unparse_lower(id, out);
    // The same output type as ToString(): a std::string.
    std::string text(out, 36);
    benchmark::DoNotOptimize(text);
  }
}

void GuidCreateFromText(benchmark::State& state) {
  for (auto _ : state) {
    GUID id = GUID::Create(kText);
    benchmark::DoNotOptimize(id);
  }
}

void GuidCreateFromBracedText(benchmark::State& state) {
  const std::string braced = "{" + kText + "}";
  for (auto _ : state) {
    GUID id = GUID::Create(braced);
    benchmark::DoNotOptimize(id);
  }
}

void BaselineUuidParse(benchmark::State& state) {
  for (auto _ : state) {
    uuid_t id;
    benchmark::DoNotOptimize(uuid_parse(kText.c_str(), id));
    benchmark::DoNotOptimize(id);
  }
}

void GuidCreateFresh(benchmark::State& state) {
  for (auto _ : state) {
    GUID id = GUID::Create();
    benchmark::DoNotOptimize(id);
  }
}

void BaselineUuidGenerateRandom(benchmark::State& state) {
  for (auto _ : state) {
    uuid_t id;
    uuid_generate_random(id);
    benchmark::DoNotOptimize(id);
  }
}

void GuidBefore(benchmark::State& state) {
  GUID other = kSample;
  other.data4[7] = 0x11;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kSample.Before(other));
    benchmark::ClobberMemory();
  }
}

void GuidHash(benchmark::State& state) {
  const std::hash<GUID> hash;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hash(kSample));
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(GuidToString);
BENCHMARK(GuidToStringGroupingLocale);
BENCHMARK(BaselineUuidUnparseLower);
BENCHMARK(GuidCreateFromText);
BENCHMARK(GuidCreateFromBracedText);
BENCHMARK(BaselineUuidParse);
BENCHMARK(GuidCreateFresh);
BENCHMARK(BaselineUuidGenerateRandom);
BENCHMARK(GuidBefore);
BENCHMARK(GuidHash);

BENCHMARK_MAIN();
