// One simulator replicate (10 equal alleles, 20 loci, 3 aunts) on the run's
// own stream, and the bare serial generator step for scale.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "simulator/family.hpp"
#include "simulator/uniform.hpp"

namespace {

void BM_Replicate(benchmark::State& state, std::int32_t diploid, float mapLength) {
  const std::vector<double> afe(10, 0.1);
  exc::FamilyStorage storage(diploid, 10, 20);
  exc::BuildCumAfe(afe, storage.CumAfe);
  const exc::FamilyModel model{diploid, mapLength};
  exc::UniformState stream;
  stream.Seed = -12345;
  exc::PoissonCache cache;
  exc::Replicate<exc::UniformState> replicate(model, storage, cache, stream);
  std::int64_t excluded = 0;
  for (auto _ : state) excluded += replicate.Run(20, 3) ? 1 : 0;
  benchmark::DoNotOptimize(excluded);
  state.SetItemsProcessed(state.iterations());
}

void BM_SerialStep(benchmark::State& state) {
  exc::UniformState stream;
  stream.Seed = -12345;
  std::int32_t sink = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) sink ^= stream.Step();
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * 1000);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Replicate, diploid_free, 1, 999.0f);
BENCHMARK_CAPTURE(BM_Replicate, diploid_linked, 1, 2.0f);
BENCHMARK_CAPTURE(BM_Replicate, haplodiploid_free, 0, 999.0f);
BENCHMARK_CAPTURE(BM_Replicate, haplodiploid_linked, 0, 2.0f);
BENCHMARK(BM_SerialStep);

BENCHMARK_MAIN();
