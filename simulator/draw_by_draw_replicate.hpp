// The replicate draw by draw: the family, the candidate loci and the lazily
// simulated aunts, each decision taking its draw from the source at the
// moment it is made, step by step as the model states them. This is the
// readable form of the replicate and the one the tests hold BlockReplicate
// to; the program runs BlockReplicate, which falls back on this FormGamete
// beyond 64 segregating loci.
//
// It touches the shared storage (family.hpp), the Poisson deviate and its
// draw source, nothing else.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "simulator/draw_source.hpp"
#include "simulator/family.hpp"
#include "simulator/poisson.hpp"

namespace exc {

template <DrawSource Source>
class DrawByDrawReplicate {
 public:
  DrawByDrawReplicate(const FamilyModel& model, FamilyStorage& storage, PoissonCache& cache, Source& source)
      : model_(model), s_(storage), cache_(cache), source_(source) {}

  // The first allele whose cumulative frequency exceeds the deviate.
  std::int32_t DrawAllele() {
    const float u = source_.Deviate();
    std::int32_t j = 0;
    while (!(s_.CumAfe[static_cast<std::size_t>(j)] > u)) ++j;
    return j + 1;
  }

  std::int32_t UnlinkedPick(std::int32_t a, std::int32_t b) {
    if (a == b) return a;
    return source_.Deviate() < 0.5f ? a : b;
  }

  // Forms the gamete of homologs h1 and h2 into `out` over the NSeg
  // segregating loci, when the crossover count it draws is below NSeg.
  // Every locus is walked, also those it does not store, so that a
  // crossover there still switches homologs.
  GameteResult FormGamete(GeneRow<const std::int32_t> h1, GeneRow<const std::int32_t> h2, GeneRow<std::int32_t> out,
                          GameteStore store = GameteStore::EveryLocus) {
    const std::int32_t nSeg = s_.NSeg;
    // The deviate is a whole number: converting it is the rounding.
    const auto count = static_cast<std::int32_t>(PoissonDeviate(cache_, source_, model_.MapLength));
    if (count >= nSeg) return {count, false};  // free recombination: picked locus by locus
    const std::int32_t* skip = s_.SkipFlag.data();
    const bool candidatesOnly = store == GameteStore::CandidateLoci;
    if (count == 0) {
      // No crossover: one whole homolog.
      const GeneRow<const std::int32_t> h = StartHomolog(source_.Deviate()) == 2 ? h2 : h1;
      for (std::int32_t i = 0; i < nSeg; ++i) {
        if (candidatesOnly && skip[i] != 0) continue;
        out[i] = h[i];
      }
      return {count, true};
    }
    std::int32_t* mark = s_.CrossMark.data();
    std::fill(mark, mark + nSeg, 0);
    const float loci = static_cast<float>(nSeg);
    for (std::int32_t c = 0; c < count; ++c) {
      const OddDraw draw = source_.OddInteger();
      const float raw = std::floor((loci * draw.scale) * static_cast<float>(draw.r) + 1.0f);
      const std::int32_t p = std::min(static_cast<std::int32_t>(raw), nSeg);
      mark[p - 1] = 1;  // set, never toggled: two crossovers at one place act as one
    }
    // Locus 1 always carries a mark, so the walk begins by switching to the
    // homolog that the start draw names.
    std::int32_t homolog = 3 - StartHomolog(source_.Deviate());
    mark[0] = 1;
    for (std::int32_t i = 0; i < nSeg; ++i) {
      if (mark[i] == 1) homolog = 3 - homolog;
      if (candidatesOnly && skip[i] != 0) continue;
      out[i] = homolog == 1 ? h1[i] : h2[i];
    }
    return {count, true};
  }

  // Draws the grandparents, keeps their segregating loci, forms the mother
  // and the child. False when no locus segregates.
  bool SimulateFamily(std::int32_t nLoci) {
    const bool diploid = model_.IsDiploid();
    const GeneTable<std::int32_t> grand = s_.Grand();
    std::int32_t* segFlag = s_.SegFlag.data();
    // Grandparents, and whether a grandparent is heterozygous at the locus
    // (for a haplodiploid species only the grandmother can be).
    for (std::int32_t i = 0; i < nLoci; ++i) {
      std::int32_t* column = grand[i];
      for (std::int32_t j = 0; j < grand.rows; ++j) column[j] = DrawAllele();
      segFlag[i] = (column[0] != column[1] || (diploid && column[2] != column[3])) ? 1 : 0;
    }
    // The segregating loci, in order, moved to the front.
    std::int32_t nSeg = 0;
    for (std::int32_t i = 0; i < nLoci; ++i) {
      if (segFlag[i] != 1) continue;
      std::copy_n(grand[i], grand.rows, grand[nSeg]);
      ++nSeg;
    }
    s_.NSeg = nSeg;
    if (nSeg == 0) return false;

    // The mother: row 0 from the grandfather, row 1 from the grandmother.
    const GeneTable<std::int32_t> mom = s_.Mom();
    bool fromGrandmother = false;
    bool fromGrandfather = false;
    if (model_.Linked()) {
      fromGrandmother = FormGamete(grand.Row(0), grand.Row(1), mom.Row(1)).formed;
      if (diploid) fromGrandfather = FormGamete(grand.Row(2), grand.Row(3), mom.Row(0)).formed;
    }
    for (std::int32_t i = 0; i < nSeg; ++i) {
      const std::int32_t* column = grand[i];
      std::int32_t* m = mom[i];
      if (!diploid) {
        m[0] = column[2];
      } else if (!fromGrandfather) {
        m[0] = UnlinkedPick(column[2], column[3]);
      }
      if (!fromGrandmother) m[1] = UnlinkedPick(column[0], column[1]);
    }

    // The child: row 0 from the mother, row 1 (diploid) from the population.
    const GeneTable<std::int32_t> kid = s_.Kid();
    bool fromMother = false;
    if (model_.Linked()) {
      fromMother = FormGamete(mom.Row(0), mom.Row(1), kid.Row(0)).formed;
      if (diploid)
        for (std::int32_t i = 0; i < nSeg; ++i) kid[i][1] = DrawAllele();
    }
    if (!fromMother) {
      // With linkage a diploid child's paternal alleles were drawn above
      // already; they are drawn again here and this second set stands.
      for (std::int32_t i = 0; i < nSeg; ++i) {
        const std::int32_t* m = mom[i];
        std::int32_t* c = kid[i];
        c[0] = UnlinkedPick(m[0], m[1]);
        if (diploid) c[1] = DrawAllele();
      }
    }
    return true;
  }

  // Simulates the aunts one after the other, each only as far as needed;
  // true when every one of them is excluded as the mother.
  bool AllAuntsExcluded(std::int32_t nAunts) {
    const bool diploid = model_.IsDiploid();
    const GeneTable<std::int32_t> grand = s_.Grand();
    const GeneTable<std::int32_t> kid = s_.Kid();
    const GeneTable<std::int32_t> aunt = s_.Aunt();
    for (std::int32_t a = 0; a < nAunts; ++a) {
      // Her linked gametes, row 0 from the grandfather, row 1 from the
      // grandmother, at the candidate loci.
      bool fromGrandmother = false;
      bool fromGrandfather = false;
      if (model_.Linked()) {
        fromGrandmother = FormGamete(grand.Row(0), grand.Row(1), aunt.Row(1), GameteStore::CandidateLoci).formed;
        if (diploid)
          fromGrandfather = FormGamete(grand.Row(2), grand.Row(3), aunt.Row(0), GameteStore::CandidateLoci).formed;
      }
      if (s_.NCand == 0) return false;
      bool excluded = false;
      for (std::int32_t e = 0; e < s_.NCand && !excluded; ++e) {
        const std::int32_t i = s_.CandLoci[static_cast<std::size_t>(e)];
        const std::int32_t* column = grand[i];
        const std::int32_t* child = kid[i];
        const std::int32_t* linked = aunt[i];
        std::int32_t a1;  // from the grandfather
        if (fromGrandfather) {
          a1 = linked[0];
        } else if (!diploid) {
          a1 = column[2];
        } else {
          a1 = UnlinkedPick(column[2], column[3]);
        }
        // The aunt carries one of the child's alleles: not excluded here, and
        // her other allele is not needed.
        if (diploid && (a1 == child[0] || a1 == child[1])) continue;
        const std::int32_t a2 = fromGrandmother ? linked[1] : UnlinkedPick(column[0], column[1]);
        excluded = a1 != child[0] && a2 != child[0] && (!diploid || (a1 != child[1] && a2 != child[1]));
      }
      if (!excluded) return false;
    }
    return true;
  }

  // One whole replicate: true when every candidate aunt is excluded.
  bool Run(std::int32_t nLoci, std::int32_t nAunts) {
    if (!SimulateFamily(nLoci)) return false;
    MarkCandLoci(model_, s_);
    return AllAuntsExcluded(nAunts);
  }

 private:
  const FamilyModel& model_;
  FamilyStorage& s_;
  PoissonCache& cache_;
  Source& source_;
};

}  // namespace exc
