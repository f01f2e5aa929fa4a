// One replicate of the simulator: the family at the marker loci, the
// candidate loci and the lazily simulated candidate aunts.
//
// The draw source is a template parameter so the hot path calls the real
// generator inline while tests can script the deviates. A source provides
// `float Deviate()` and `OddDraw OddInteger()`.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "simulator/poisson.hpp"
#include "simulator/uniform.hpp"

namespace exc {

// What a replicate needs of the run values.
struct FamilyModel {
  std::int32_t Diploid = 1;
  float MapLength = 999.0f;
  // Crossovers are modelled when MapLength, widened, is below 999 (a NaN
  // map length therefore means free recombination).
  bool Linked() const { return static_cast<double>(MapLength) < 999.0; }
};

// The working storage of a run, allocated once and sized by NAllele, Diploid
// and the upper bound of the loci range. The alleles of one locus are
// adjacent: element (row, locus) of a gene table is at locus * rows + row.
struct FamilyStorage {
  FamilyStorage(std::int32_t diploid, std::int32_t nAllele, std::int32_t lociTo);

  // Bytes the storage takes, for sizing checks before it is allocated.
  static std::int64_t PerLocusBytes(std::int32_t diploid);

  std::int32_t grandRows;  // Diploid + 3
  std::int32_t kidRows;    // Diploid + 1
  std::vector<float> CumAfe;
  std::vector<std::int32_t> GrandGene;
  std::vector<std::int32_t> MomGene;
  std::vector<std::int32_t> KidGene;
  std::vector<std::int32_t> AuntGene;
  std::vector<std::int32_t> CandLoci;  // segregation flags first, then the candidate loci
  std::vector<std::int32_t> SkipFlag;
  std::vector<std::int32_t> CrossMark;
  std::int32_t NCO[2] = {0, 0};
  std::int32_t NSeg = 0;
  std::int32_t NCand = 0;
};

// Fills CumAfe from the normalised frequencies: a single-precision running
// sum whose last entry is 1.1, above every deviate.
void BuildCumAfe(std::span<const double> afe, std::span<float> cumAfe);

// Finds the candidate loci of the replicate; makes no draw.
void MarkCandLoci(const FamilyModel& model, FamilyStorage& s);

template <class Source>
class Replicate {
 public:
  Replicate(const FamilyModel& model, FamilyStorage& storage, PoissonCache& cache, Source& source)
      : model_(model), s_(storage), cache_(cache), source_(source), linked_(model.Linked()) {}

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

  // Forms the gamete of NCO slot k (0: from a mother, 1: from a father) from
  // homologs h1 and h2 into `out`, all three strided by their tables' rows.
  // With `onlyCandidates` (the aunts) a locus is stored only where SkipFlag
  // is 0, but every locus is walked so crossovers still switch homologs.
  template <bool onlyCandidates>
  void FormGamete(int k, const std::int32_t* h1, const std::int32_t* h2, std::int32_t inStride, std::int32_t* out,
                  std::int32_t outStride) {
    const std::int32_t nSeg = s_.NSeg;
    const auto count = static_cast<std::int32_t>(std::lround(PoissonDeviate(cache_, source_, model_.MapLength)));
    s_.NCO[k] = count;
    if (count >= nSeg) return;  // free recombination: picked locus by locus
    const std::int32_t* skip = s_.SkipFlag.data();
    if (count == 0) {
      // No crossover: one whole homolog.
      const std::int32_t* h = StartHomolog(source_.Deviate()) == 1 ? h1 : h2;
      for (std::int32_t i = 0; i < nSeg; ++i) {
        if (onlyCandidates && skip[i] != 0) continue;
        out[std::ptrdiff_t{i} * outStride] = h[std::ptrdiff_t{i} * inStride];
      }
      return;
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
    std::int32_t strand = 3 - StartHomolog(source_.Deviate());
    mark[0] = 1;
    for (std::int32_t i = 0; i < nSeg; ++i) {
      if (mark[i] == 1) strand = 3 - strand;
      if (onlyCandidates && skip[i] != 0) continue;
      const std::ptrdiff_t in = std::ptrdiff_t{i} * inStride;
      out[std::ptrdiff_t{i} * outStride] = strand == 1 ? h1[in] : h2[in];
    }
  }

  // Draws the grandparents, keeps their segregating loci, forms the mother
  // and the child. False when no locus segregates.
  bool SimulateFamily(std::int32_t nLoci) {
    const std::int32_t g = s_.grandRows;
    std::int32_t* grand = s_.GrandGene.data();
    std::int32_t* flag = s_.CandLoci.data();
    for (std::int32_t i = 0; i < nLoci; ++i) {
      std::int32_t* column = grand + std::ptrdiff_t{i} * g;
      for (std::int32_t j = 0; j < g; ++j) column[j] = DrawAllele();
      flag[i] = (column[0] != column[1] || (model_.Diploid != 0 && column[2] != column[3])) ? 1 : 0;
    }
    std::int32_t nSeg = 0;
    for (std::int32_t i = 0; i < nLoci; ++i) {
      if (flag[i] != 1) continue;
      std::copy_n(grand + std::ptrdiff_t{i} * g, g, grand + std::ptrdiff_t{nSeg} * g);
      ++nSeg;
    }
    s_.NSeg = nSeg;
    if (nSeg == 0) return false;

    const bool diploid = model_.Diploid == 1;
    std::int32_t* mom = s_.MomGene.data();
    s_.NCO[0] = nSeg + 1;
    s_.NCO[1] = nSeg + 1;
    if (linked_) {
      FormGamete<false>(0, grand, grand + 1, g, mom + 1, 2);
      if (diploid) FormGamete<false>(1, grand + 2, grand + 3, g, mom, 2);
    }
    for (std::int32_t i = 0; i < nSeg; ++i) {
      const std::int32_t* column = grand + std::ptrdiff_t{i} * g;
      std::int32_t* m = mom + std::ptrdiff_t{i} * 2;
      if (!diploid) {
        m[0] = column[2];
      } else if (s_.NCO[1] >= nSeg) {
        m[0] = UnlinkedPick(column[2], column[3]);
      }
      if (s_.NCO[0] >= nSeg) m[1] = UnlinkedPick(column[0], column[1]);
    }

    const std::int32_t k = s_.kidRows;
    std::int32_t* kid = s_.KidGene.data();
    s_.NCO[0] = nSeg + 1;
    if (linked_) {
      FormGamete<false>(0, mom, mom + 1, 2, kid, k);
      if (diploid)
        for (std::int32_t i = 0; i < nSeg; ++i) kid[std::ptrdiff_t{i} * k + 1] = DrawAllele();
    }
    if (s_.NCO[0] >= nSeg) {
      // With linkage a diploid child's paternal alleles were drawn above
      // already; they are drawn again here and this second set stands.
      for (std::int32_t i = 0; i < nSeg; ++i) {
        const std::int32_t* m = mom + std::ptrdiff_t{i} * 2;
        std::int32_t* c = kid + std::ptrdiff_t{i} * k;
        c[0] = UnlinkedPick(m[0], m[1]);
        if (diploid) c[1] = DrawAllele();
      }
    }
    return true;
  }

  // Simulates the aunts one after the other, each only as far as needed;
  // true when every one of them is excluded as the mother.
  bool AllAuntsExcluded(std::int32_t nAunts) {
    const std::int32_t nSeg = s_.NSeg;
    const std::int32_t g = s_.grandRows;
    const std::int32_t k = s_.kidRows;
    const bool diploid = model_.Diploid == 1;
    const std::int32_t* grand = s_.GrandGene.data();
    const std::int32_t* kid = s_.KidGene.data();
    std::int32_t* aunt = s_.AuntGene.data();
    for (std::int32_t a = 0; a < nAunts; ++a) {
      s_.NCO[0] = nSeg + 1;
      s_.NCO[1] = nSeg + 1;
      if (linked_) {
        FormGamete<true>(0, grand, grand + 1, g, aunt + 1, 2);
        if (diploid) FormGamete<true>(1, grand + 2, grand + 3, g, aunt, 2);
      }
      if (s_.NCand == 0) return false;
      bool excluded = false;
      for (std::int32_t e = 0; e < s_.NCand && !excluded; ++e) {
        const std::int32_t i = s_.CandLoci[static_cast<std::size_t>(e)];
        const std::int32_t* column = grand + std::ptrdiff_t{i} * g;
        const std::int32_t* child = kid + std::ptrdiff_t{i} * k;
        const std::int32_t* linked = aunt + std::ptrdiff_t{i} * 2;
        std::int32_t a1;
        if (s_.NCO[1] < nSeg) {
          a1 = linked[0];
        } else if (!diploid) {
          a1 = column[2];
        } else {
          a1 = UnlinkedPick(column[2], column[3]);
        }
        // The aunt carries one of the child's alleles: not excluded here, and
        // her other allele is not needed.
        if (diploid && (a1 == child[0] || a1 == child[1])) continue;
        const std::int32_t a2 = s_.NCO[0] < nSeg ? linked[1] : UnlinkedPick(column[0], column[1]);
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
  // Homolog 1 or 2 from one deviate: floor((1 + u) + u), limited to 2.
  static std::int32_t StartHomolog(float u) {
    const float h = std::floor((1.0f + u) + u);
    return h >= 2.0f ? 2 : 1;
  }

  const FamilyModel& model_;
  FamilyStorage& s_;
  PoissonCache& cache_;
  Source& source_;
  bool linked_;
};

}  // namespace exc
