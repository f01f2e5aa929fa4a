// The branch-free replicate on the block stream against the draw-by-draw
// replicate on the serial step: same families, same outcomes, same number
// of draws, replicate after replicate.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/block_replicate.hpp"
#include "simulator/draw_by_draw_replicate.hpp"
#include "simulator/family.hpp"
#include "simulator/kernels.hpp"
#include "simulator/raw_decisions.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {
namespace {

// The scan DrawAllele makes: the first entry above the deviate.
std::int32_t Scan(const std::vector<float>& cumAfe, float u) {
  std::int32_t j = 0;
  while (!(cumAfe[static_cast<std::size_t>(j)] > u)) ++j;
  return j + 1;
}

std::vector<float> CumAfeOf(const std::vector<double>& afe) {
  std::vector<float> cumAfe(afe.size());
  BuildCumAfe(afe, cumAfe);
  return cumAfe;
}

const std::vector<std::vector<double>> kFrequencies = {
    std::vector<double>(10, 0.1),
    {0.5, 0.5},
    // A zero frequency, one too small to open a gap of its own and one
    // that leaves the last entry unreachable.
    {0.4, 0.0, 0.3, 0.3 - 1e-9, 1e-9},
    {0.3, 0.2, 0.2, 0.1, 0.1, 0.1},
};

TEST(AlleleTable, AgreesWithTheScanAroundEveryThreshold) {
  for (const auto& afe : kFrequencies) {
    const std::vector<float> cumAfe = CumAfeOf(afe);
    const AlleleTable table(cumAfe);
    for (std::size_t j = 0; j + 1 < cumAfe.size(); ++j) {
      const std::uint32_t at = SmallestRawReaching(cumAfe[j]);
      for (std::int64_t d = -40; d <= 40; ++d) {
        const std::int64_t r = std::int64_t{at} + d;
        if (r < 1 || r > 2147483647) continue;
        const auto raw = static_cast<std::int32_t>(r);
        ASSERT_EQ(table.Draw(raw), Scan(cumAfe, DeviateOf(raw))) << "entry " << j << " r " << r;
      }
    }
    // Every bucket edge, and a spread of values in between.
    for (std::int64_t r = 1; r <= 2147483647; r += 1048573) {
      const auto raw = static_cast<std::int32_t>(r);
      ASSERT_EQ(table.Draw(raw), Scan(cumAfe, DeviateOf(raw))) << "r " << r;
    }
    for (std::int64_t r = 2147483647 - 200; r <= 2147483647; ++r) {
      const auto raw = static_cast<std::int32_t>(r);
      ASSERT_EQ(table.Draw(raw), Scan(cumAfe, DeviateOf(raw))) << "r " << r;
    }
  }
}

TEST(AlleleTable, CloseThresholdsShareABucket) {
  // Entries a hair apart fall into one bucket, which then counts.
  const std::vector<float> cumAfe = {0.3f, 0.3000001f, 0.30000025f, 1.1f};
  const AlleleTable table(cumAfe);
  const std::uint32_t at = SmallestRawReaching(0.3f);
  for (std::uint32_t r = at - 2000; r < at + 2000; ++r) {
    const auto raw = static_cast<std::int32_t>(r);
    ASSERT_EQ(table.Draw(raw), Scan(cumAfe, DeviateOf(raw))) << "r " << r;
  }
}

TEST(AlleleTable, DrawManyAgreesWithDrawInBothForms) {
  // Ten equal alleles are counted, 30 are looked up one by one.
  const std::vector<std::vector<double>> sets = {kFrequencies[0], kFrequencies[2], std::vector<double>(30, 1.0 / 30)};
  for (const auto& afe : sets) {
    const std::vector<float> cumAfe = CumAfeOf(afe);
    for (KernelChoice kernels : kKernelChoices) {
      if (!ProcessorTakes(kernels)) continue;
      SCOPED_TRACE(KernelName(kernels));
      const AlleleTable table(cumAfe, ChooseKernels(kernels));
      // Every threshold's neighbourhood, in runs of every length up to 19
      // so the last partial group of values is covered too.
      std::vector<std::int32_t> values;
      for (std::size_t j = 0; j + 1 < cumAfe.size(); ++j) {
        const std::int64_t at = SmallestRawReaching(cumAfe[j]);
        for (std::int64_t d = -3; d <= 3; ++d)
          if (at + d >= 1 && at + d <= 2147483647) values.push_back(static_cast<std::int32_t>(at + d));
      }
      values.push_back(1);
      values.push_back(2147483647);
      for (std::size_t n = 1; n < 20; ++n) {
        for (std::size_t from = 0; from + n <= values.size(); from += n) {
          std::vector<std::int32_t> out(n + 1, -7);
          table.DrawMany(values.data() + from, out.data(), static_cast<std::int32_t>(n));
          for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], table.Draw(values[from + i])) << "r " << values[from + i];
          ASSERT_EQ(out[n], -7) << "wrote past the end";
        }
      }
    }
  }
}

TEST(RawThreshold, IsTheFirstOddIntegerReachingTheValue) {
  for (float value : {0.5f, 0.1f, 0.99999994f, 4.6566125955216364e-10f, 1.0f}) {
    const std::uint32_t at = SmallestRawReaching(value);
    if (at < 0x80000000u) {
      EXPECT_LE(value, DeviateOf(static_cast<std::int32_t>(at)));
    }
    if (at > 0) {
      EXPECT_GT(value, DeviateOf(static_cast<std::int32_t>(at - 1)));
    }
  }
  EXPECT_EQ(SmallestRawReaching(1.0f), 0x80000000u);
}

TEST(RawThreshold, StartHomologTwoBeginsBelowThePickOfTheSecondAllele) {
  const std::uint32_t at = SmallestRawWhere([](float u) { return StartHomolog(u) == 2; });
  EXPECT_EQ(StartHomolog(DeviateOf(static_cast<std::int32_t>(at))), 2);
  EXPECT_EQ(StartHomolog(DeviateOf(static_cast<std::int32_t>(at - 1))), 1);
  // (1 + u) + u rounds up to 2 for deviates just below one half.
  EXPECT_LT(at, SmallestRawReaching(0.5f));
}

TEST(BlockPoisson, SameDeviatesAndDrawsAsTheSerialStep) {
  // Product method (including a mean so small that every call returns 0
  // after one deviate, and long runs past four deviates), and the rejection
  // method.
  for (float mean : {1e-8f, 0.5f, 2.0f, 7.5f, 11.999999f, 12.0f, 35.0f}) {
    CountingStream serial{UniformState{-77}};
    BlockStream block(-77);
    PoissonCache serialCache;
    PoissonCache blockCache;
    for (int i = 0; i < 20000; ++i) {
      ASSERT_EQ(PoissonDeviate(blockCache, block, mean), PoissonDeviate(serialCache, serial, mean))
          << "mean " << mean << " call " << i;
      ASSERT_EQ(block.Position(), serial.steps) << "mean " << mean << " call " << i;
    }
  }
}

struct Case {
  std::int32_t diploid;
  float mapLength;
  std::size_t frequencies;
  std::int32_t nLoci;
  std::int32_t nAunts;
};

std::string Describe(const Case& c, KernelChoice kernels) {
  return std::string(KernelName(kernels)) + " diploid " + std::to_string(c.diploid) + " map " +
         std::to_string(c.mapLength) + " freq " + std::to_string(c.frequencies) + " loci " + std::to_string(c.nLoci) +
         " aunts " + std::to_string(c.nAunts);
}

void ExpectSameReplicates(const Case& c, std::int32_t seed, int replicates, KernelChoice kernels) {
  const std::vector<double>& afe = kFrequencies[c.frequencies];
  const auto nAllele = static_cast<std::int32_t>(afe.size());
  const FamilyModel model{c.diploid, c.mapLength};
  FamilyStorage plainStorage(c.diploid, nAllele, c.nLoci);
  FamilyStorage blockStorage(c.diploid, nAllele, c.nLoci);
  BuildCumAfe(afe, plainStorage.CumAfe);
  BuildCumAfe(afe, blockStorage.CumAfe);
  CountingStream serial{UniformState{seed}};
  BlockStream block(seed, ChooseKernels(kernels));
  PoissonCache plainCache;
  PoissonCache blockCache;
  DrawByDrawReplicate<CountingStream> plain(model, plainStorage, plainCache, serial);
  BlockReplicate fast(model, blockStorage, blockCache, block);
  const std::size_t g = static_cast<std::size_t>(plainStorage.GrandRows);
  const std::size_t k = static_cast<std::size_t>(plainStorage.KidRows);
  for (int rep = 0; rep < replicates; ++rep) {
    const bool expected = plain.Run(c.nLoci, c.nAunts);
    ASSERT_EQ(fast.Run(c.nLoci, c.nAunts), expected) << Describe(c, kernels) << " replicate " << rep;
    ASSERT_EQ(block.Position(), serial.steps) << Describe(c, kernels) << " replicate " << rep;
    const auto nSeg = static_cast<std::size_t>(plainStorage.NSeg);
    ASSERT_EQ(blockStorage.NSeg, plainStorage.NSeg);
    for (std::size_t i = 0; i < nSeg * g; ++i) ASSERT_EQ(blockStorage.GrandGene[i], plainStorage.GrandGene[i]);
    if (nSeg == 0) continue;
    for (std::size_t i = 0; i < nSeg * 2; ++i) ASSERT_EQ(blockStorage.MomGene[i], plainStorage.MomGene[i]);
    for (std::size_t i = 0; i < nSeg * k; ++i) ASSERT_EQ(blockStorage.KidGene[i], plainStorage.KidGene[i]);
    ASSERT_EQ(blockStorage.NCand, plainStorage.NCand);
    for (std::size_t e = 0; e < static_cast<std::size_t>(plainStorage.NCand); ++e) {
      const auto i = static_cast<std::size_t>(plainStorage.CandLoci[e]);
      ASSERT_EQ(blockStorage.CandLoci[e], plainStorage.CandLoci[e]);
      // The last aunt's linked gametes where the aunt test reads them.
      ASSERT_EQ(blockStorage.AuntGene[2 * i], plainStorage.AuntGene[2 * i]);
      ASSERT_EQ(blockStorage.AuntGene[2 * i + 1], plainStorage.AuntGene[2 * i + 1]);
    }
  }
}

// The fast replicate on every kernel set the processor takes.
void ExpectSameReplicates(const Case& c, std::int32_t seed, int replicates) {
  for (KernelChoice kernels : kKernelChoices)
    if (ProcessorTakes(kernels)) ExpectSameReplicates(c, seed, replicates, kernels);
}

TEST(BlockReplicate, MatchesTheDrawByDrawReplicate) {
  std::int32_t seed = -3;
  for (std::int32_t diploid : {1, 0})
    for (float mapLength : {999.0f, 0.3f, 2.0f, 11.999999f, 12.0f, 35.0f})
      for (std::size_t f = 0; f < kFrequencies.size(); ++f)
        for (std::int32_t nLoci : {1, 4, 20})
          for (std::int32_t nAunts : {1, 3}) {
            ExpectSameReplicates({diploid, mapLength, f, nLoci, nAunts}, seed, 150);
            seed -= 7919;
          }
}

TEST(BlockReplicate, ManyLociSpanSeveralReservations) {
  // More loci than one reservation holds, with and without linkage.
  ExpectSameReplicates({1, 999.0f, 0, 700, 3}, -41, 20);
  ExpectSameReplicates({1, 2.0f, 1, 700, 2}, -43, 20);
  ExpectSameReplicates({0, 999.0f, 3, 2500, 4}, -47, 10);
  ExpectSameReplicates({0, 6.0f, 0, 1500, 3}, -53, 10);
}

TEST(BlockReplicate, SegregatingLociAroundOneWordOfCrossoverMarks) {
  // Up to 64 segregating loci keep their marks in one word, more take the
  // marks array.
  std::int32_t seed = -59;
  for (std::int32_t nLoci = 62; nLoci <= 67; ++nLoci)
    for (float mapLength : {2.0f, 40.0f, 70.0f}) {
      ExpectSameReplicates({1, mapLength, 0, nLoci, 3}, seed, 60);
      ExpectSameReplicates({0, mapLength, 0, nLoci, 3}, seed - 1, 60);
      seed -= 2;
    }
}

}  // namespace
}  // namespace exc
