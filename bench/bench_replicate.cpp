// One simulator replicate (10 equal alleles, 20 loci, 3 aunts) on the run's
// own block stream, and the bare serial generator step for scale.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/block_replicate.hpp"
#include "simulator/kernels.hpp"
#include "simulator/uniform.hpp"
#include "simulator/uniform_block.hpp"

namespace {

void BM_Replicate(benchmark::State& state, std::int32_t diploid, float mapLength) {
  const std::vector<double> afe(10, 0.1);
  exc::FamilyStorage storage(diploid, 10, 20);
  exc::BuildCumAfe(afe, storage.CumAfe);
  const exc::FamilyModel model{diploid, mapLength};
  exc::BlockStream stream(-12345);
  exc::PoissonCache cache;
  exc::BlockReplicate replicate(model, storage, cache, stream);
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

// The block stream's kernels: the cost of producing one value ahead of use.
void BM_BlockFill(benchmark::State& state, exc::KernelChoice kernels) {
  const exc::BlockFill fill = exc::ChooseKernels(kernels).fill;
  exc::BlockLanes lanes{};
  for (int j = 0; j < exc::kBlockLanes; ++j) {
    lanes.xorShift[j] = 0x9E3779B9u * static_cast<std::uint32_t>(j + 1);
    lanes.parkMiller[j] = 16807u * static_cast<std::uint32_t>(j + 1);
  }
  std::vector<std::int32_t> out(exc::BlockStream::kBlockValues);
  for (auto _ : state) {
    fill(lanes, out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * exc::BlockStream::kBlockValues);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Replicate, diploid_free, 1, 999.0f);
BENCHMARK_CAPTURE(BM_Replicate, diploid_linked, 1, 2.0f);
BENCHMARK_CAPTURE(BM_Replicate, haplodiploid_free, 0, 999.0f);
BENCHMARK_CAPTURE(BM_Replicate, haplodiploid_linked, 0, 2.0f);
BENCHMARK(BM_SerialStep);

int main(int argc, char** argv) {
  // Only the fills this processor can run.
  for (exc::KernelChoice kernels : exc::kKernelChoices)
    if (exc::ProcessorTakes(kernels))
      benchmark::RegisterBenchmark((std::string("BM_BlockFill/") + exc::KernelName(kernels)).c_str(), BM_BlockFill,
                                   kernels);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
