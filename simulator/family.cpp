#include "simulator/family.hpp"

#include <bit>

namespace exc {

namespace {

std::size_t Size(std::int64_t n) { return static_cast<std::size_t>(n); }

}  // namespace

FamilyStorage::FamilyStorage(std::int32_t diploid, std::int32_t nAllele, std::int32_t lociTo)
    : GrandRows(diploid + 3),
      KidRows(diploid + 1),
      CumAfe(Size(nAllele)),
      GrandGene(Size(std::int64_t{GrandRows} * lociTo)),
      MomGene(Size(std::int64_t{2} * lociTo)),
      KidGene(Size(std::int64_t{KidRows} * lociTo)),
      AuntGene(Size(std::int64_t{2} * lociTo)),
      SegFlag(Size(lociTo)),
      SkipFlag(Size(lociTo)),
      CandLoci(Size(lociTo)),
      CrossMark(Size(lociTo)) {}

std::int64_t FamilyStorage::PerLocusBytes(std::int32_t diploid) {
  // The gene tables' rows, then SegFlag, SkipFlag, CandLoci and CrossMark.
  const std::int64_t rows = (diploid + 3) + 2 + (diploid + 1) + 2 + 4;
  return rows * std::int64_t{sizeof(std::int32_t)};
}

void BuildCumAfe(std::span<const double> afe, std::span<float> cumAfe) {
  for (std::size_t i = 0; i < afe.size(); ++i) cumAfe[i] = static_cast<float>(afe[i]);
  for (std::size_t j = 1; j < cumAfe.size(); ++j) cumAfe[j] = cumAfe[j - 1] + cumAfe[j];
  // 1.1, not 1.0: every deviate lies below it, so the allele scan always ends.
  if (!cumAfe.empty()) cumAfe.back() = std::bit_cast<float>(std::uint32_t{0x3F8CCCCD});
}

void MarkCandLoci(const FamilyModel& model, FamilyStorage& s) {
  const GeneTable<std::int32_t> grandGene = s.Grand();
  const GeneTable<std::int32_t> momGene = s.Mom();
  const GeneTable<std::int32_t> kidGene = s.Kid();
  std::int32_t* skipFlag = s.SkipFlag.data();
  std::int32_t* candLoci = s.CandLoci.data();
  const bool diploid = model.IsDiploid();
  const std::int32_t nSeg = s.NSeg;
  std::int32_t nCand = 0;
  // Branch-free: whether a locus is a candidate is a coin toss for the
  // predictor, so every locus is written to the list and only candidates
  // move its end on.
  for (std::int32_t i = 0; i < nSeg; ++i) {
    const std::int32_t* grand = grandGene[i];
    const std::int32_t* kid = kidGene[i];
    // 0 or 1 in integer arithmetic: GCC turns boolean selects here into
    // branches again.
    std::int32_t candidate;
    if (!diploid) {
      // Every daughter carries the grandfather's allele: where the son
      // carries it too, no aunt can be excluded.
      candidate = static_cast<std::int32_t>(kid[0] != grand[2]);
    } else {
      const std::int32_t* mom = momGene[i];
      const auto homozygousChild = static_cast<std::int32_t>(kid[0] == kid[1]);
      const auto bothGrandparents = static_cast<std::int32_t>(grand[0] != grand[1]) & static_cast<std::int32_t>(grand[2] != grand[3]);
      const auto heterozygousMother = static_cast<std::int32_t>(mom[0] != mom[1]);
      candidate = homozygousChild & (bothGrandparents | heterozygousMother);
    }
    skipFlag[i] = 1 - candidate;
    candLoci[nCand] = i;
    nCand += candidate;
  }
  s.NCand = nCand;
}

}  // namespace exc
