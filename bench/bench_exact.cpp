// Cost of one pair of the exact calculation; it grows with up to the fourth
// power of the number of loci.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "calculator/exact.hpp"

namespace {

void BM_ExactExProb(benchmark::State& state) {
  const auto loci = static_cast<std::int32_t>(state.range(0));
  const std::vector<double> freq = {0.3, 0.2, 0.15, 0.1, 0.1, 0.1, 0.05};
  exc::ExactTerms terms = exc::PrepareExact(freq, static_cast<std::int32_t>(freq.size()), loci);
  for (auto _ : state) benchmark::DoNotOptimize(exc::ExactExProb(terms, loci, 3));
}
BENCHMARK(BM_ExactExProb)->Arg(10)->Arg(30)->Arg(60)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
