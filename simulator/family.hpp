// One replicate of the simulator: the family at the marker loci, the
// candidate loci and the lazily simulated candidate aunts.
//
// The draw source is a template parameter so the hot path calls the real
// generator inline while tests can script the deviates. A source provides
// `float Deviate()` and `OddDraw OddInteger()`.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "simulator/poisson.hpp"
#include "simulator/raw_decisions.hpp"
#include "simulator/uniform.hpp"
#include "simulator/uniform_block.hpp"

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

// With a BlockStream the replicate reads the odd integers ahead in blocks and
// takes every decision on them without a branch, consuming a draw by moving
// a pointer; the decision thresholds come from CumAfe as it stands when the
// replicate is constructed. Other sources go draw by draw.
template <class Source>
class Replicate {
 public:
  static constexpr bool kBlock = std::is_same_v<Source, BlockStream>;

  Replicate(const FamilyModel& model, FamilyStorage& storage, PoissonCache& cache, Source& source)
      : model_(model), s_(storage), cache_(cache), source_(source), linked_(model.Linked()) {
    if constexpr (kBlock) {
      alleles_ = AlleleTable(s_.CumAfe, source.Kernels());
      pickSecond_ = SmallestRawReaching(0.5f);
      // floor((1 + u) + u) is 2 or more exactly when (1 + u) + u reaches 2.
      std::uint32_t lo = 0;
      std::uint32_t hi = 0x80000000u;
      while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (StartHomolog(DeviateOf(static_cast<std::int32_t>(mid))) == 2) {
          hi = mid;
        } else {
          lo = mid + 1;
        }
      }
      secondHomolog_ = lo;
    }
  }

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
    // The deviate is a whole number: converting it is the rounding.
    const auto count = static_cast<std::int32_t>(PoissonDeviate(cache_, source_, model_.MapLength));
    s_.NCO[k] = count;
    if (count >= nSeg) return;  // free recombination: picked locus by locus
    const std::int32_t* skip = s_.SkipFlag.data();
    if (count == 0) {
      // No crossover: one whole homolog.
      const std::int32_t* h = DrawSecondHomolog() ? h2 : h1;
      for (std::int32_t i = 0; i < nSeg; ++i) {
        // The block path also stores at loci no aunt test reads.
        if (!kBlock && onlyCandidates && skip[i] != 0) continue;
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
    std::int32_t second = DrawSecondHomolog() ? 0 : 1;
    mark[0] = 1;
    for (std::int32_t i = 0; i < nSeg; ++i) {
      second ^= mark[i];
      if (!kBlock && onlyCandidates && skip[i] != 0) continue;
      const std::ptrdiff_t in = std::ptrdiff_t{i} * inStride;
      out[std::ptrdiff_t{i} * outStride] = second != 0 ? h2[in] : h1[in];
    }
  }

  // Draws the grandparents, keeps their segregating loci, forms the mother
  // and the child. False when no locus segregates.
  bool SimulateFamily(std::int32_t nLoci) {
    if constexpr (kBlock) return model_.Diploid == 1 ? SimulateFamilyBlock<true>(nLoci) : SimulateFamilyBlock<false>(nLoci);
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
    if constexpr (kBlock) return model_.Diploid == 1 ? AllAuntsExcludedBlock<true>(nAunts) : AllAuntsExcludedBlock<false>(nAunts);
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

  bool DrawSecondHomolog() {
    if constexpr (kBlock) {
      return static_cast<std::uint32_t>(source_.Step()) >= secondHomolog_;
    } else {
      return StartHomolog(source_.Deviate()) == 2;
    }
  }

  // Most loci one reservation covers, for up to `perLocus` draws each.
  static constexpr std::int32_t ChunkLoci(std::int32_t perLocus) { return BlockStream::kMaxReserve / perLocus; }

  // UnlinkedPick on the reserved values: a draw is used only when the
  // alleles differ (and `wanted`), and then u >= 0.5 takes b. Masks rather
  // than selects: the compiler turns selects in these loops into branches,
  // and whether a parent is heterozygous is a coin toss for the predictor.
  static std::int32_t Pick(std::int32_t a, std::int32_t b, const std::int32_t*& r, std::uint32_t pickSecond,
                           bool wanted = true) {
    const bool draws = wanted & (a != b);
    const bool takeB = draws & (static_cast<std::uint32_t>(*r) >= pickSecond);
    r += static_cast<int>(draws);
    return a ^ ((a ^ b) & -static_cast<std::int32_t>(takeB));
  }

  // FormGamete on the block stream. The crossover marks of up to 64 loci
  // are the bits of one word: the homolog of locus i is the start draw's
  // XOR the parity of the marks at positions 2 .. i + 1, a prefix XOR of
  // the word. With `onlyCandidates` (the aunts) only candidate loci are
  // stored, the only ones the aunt test reads.
  template <bool onlyCandidates>
  void FormGameteBlock(int k, const std::int32_t* h1, const std::int32_t* h2, std::int32_t inStride, std::int32_t* out,
                       std::int32_t outStride) {
    const std::int32_t nSeg = s_.NSeg;
    if (nSeg > 64) return FormGamete<onlyCandidates>(k, h1, h2, inStride, out, outStride);
    const auto count = static_cast<std::int32_t>(PoissonDeviate(cache_, source_, model_.MapLength));
    s_.NCO[k] = count;
    if (count >= nSeg) return;
    const std::int32_t* r = source_.Reserve(count + 1);
    std::uint64_t marks = 0;
    const float lociScale = static_cast<float>(nSeg) * kUniformScale;
    for (std::int32_t c = 0; c < count; ++c) {
      // floor((NSeg x scale) x single(r) + 1): positive, so truncation.
      const auto raw = static_cast<std::int32_t>(lociScale * static_cast<float>(r[c]) + 1.0f);
      marks |= std::uint64_t{1} << (std::min(raw, nSeg) - 1);
    }
    const bool startSecond = static_cast<std::uint32_t>(r[count]) >= secondHomolog_;
    source_.Commit(r + count + 1);
    // A crossover at position 1 has no effect; a mark is set, never toggled.
    std::uint64_t second = marks & ~std::uint64_t{1};
    for (int shift = 1; shift < 64; shift *= 2) second ^= second << shift;
    if (startSecond) second = ~second;
    if constexpr (onlyCandidates) {
      const std::int32_t* cand = s_.CandLoci.data();
      for (std::int32_t e = 0; e < s_.NCand; ++e) {
        const std::int32_t i = cand[e];
        const auto mask = -static_cast<std::int32_t>((second >> i) & 1u);
        const std::ptrdiff_t in = std::ptrdiff_t{i} * inStride;
        out[std::ptrdiff_t{i} * outStride] = h1[in] ^ ((h1[in] ^ h2[in]) & mask);
      }
    } else {
      for (std::int32_t i = 0; i < nSeg; ++i) {
        const auto mask = -static_cast<std::int32_t>((second >> i) & 1u);
        const std::ptrdiff_t in = std::ptrdiff_t{i} * inStride;
        out[std::ptrdiff_t{i} * outStride] = h1[in] ^ ((h1[in] ^ h2[in]) & mask);
      }
    }
  }

  // SimulateFamily on the block stream; the draws and their order are the
  // same, the grandparents' columns are compacted as they are drawn.
  template <bool kDiploid>
  bool SimulateFamilyBlock(std::int32_t nLoci) {
    constexpr std::int32_t g = kDiploid ? 4 : 3;
    const std::uint32_t half = pickSecond_;
    std::int32_t* grand = s_.GrandGene.data();
    std::int32_t nSeg = 0;
    for (std::int32_t i0 = 0; i0 < nLoci; i0 += ChunkLoci(g)) {
      const std::int32_t n = std::min(ChunkLoci(g), nLoci - i0);
      const std::int32_t* r = source_.Reserve(n * g);
      if constexpr (kDiploid) {
        alleles_.DrawMany(r, grand + std::ptrdiff_t{i0} * g, n * g);
        // Compaction in place: a column moves down to the next free one.
        for (std::int32_t i = i0; i < i0 + n; ++i) {
          const std::int32_t* column = grand + std::ptrdiff_t{i} * g;
          const bool segregating = (column[0] != column[1]) | (column[2] != column[3]);
          std::copy_n(column, g, grand + std::ptrdiff_t{nSeg} * g);
          nSeg += segregating ? 1 : 0;
        }
      } else {
        // Three alleles a locus: looked up one by one, each column drawn
        // straight into its compacted place (measured faster here).
        const AlleleTable::Lookup alleles = alleles_.View();
        for (std::int32_t i = 0; i < n; ++i) {
          std::int32_t* column = grand + std::ptrdiff_t{nSeg} * g;
          for (std::int32_t j = 0; j < g; ++j) column[j] = alleles.Draw(r[i * g + j]);
          nSeg += column[0] != column[1] ? 1 : 0;
        }
      }
      source_.Commit(r + n * g);
    }
    s_.NSeg = nSeg;
    if (nSeg == 0) return false;

    std::int32_t* mom = s_.MomGene.data();
    s_.NCO[0] = nSeg + 1;
    s_.NCO[1] = nSeg + 1;
    if (linked_) {
      FormGameteBlock<false>(0, grand, grand + 1, g, mom + 1, 2);
      if (kDiploid) FormGameteBlock<false>(1, grand + 2, grand + 3, g, mom, 2);
    }
    const bool pickFather = s_.NCO[1] >= nSeg;
    const bool pickMother = s_.NCO[0] >= nSeg;
    for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(2)) {
      const std::int32_t n = std::min(ChunkLoci(2), nSeg - i0);
      const std::int32_t* r = source_.Reserve(2 * n);
      for (std::int32_t i = i0; i < i0 + n; ++i) {
        const std::int32_t* column = grand + std::ptrdiff_t{i} * g;
        std::int32_t* m = mom + std::ptrdiff_t{i} * 2;
        if (!kDiploid) {
          m[0] = column[2];
        } else if (pickFather) {
          m[0] = Pick(column[2], column[3], r, half);
        }
        if (pickMother) m[1] = Pick(column[0], column[1], r, half);
      }
      source_.Commit(r);
    }

    constexpr std::int32_t k = kDiploid ? 2 : 1;
    std::int32_t* kid = s_.KidGene.data();
    s_.NCO[0] = nSeg + 1;
    if (linked_) {
      FormGameteBlock<false>(0, mom, mom + 1, 2, kid, k);
      if (kDiploid) {
        // Drawn again below when the child's gamete is not linked; the
        // second set stands.
        for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(1)) {
          const std::int32_t n = std::min(ChunkLoci(1), nSeg - i0);
          const std::int32_t* r = source_.Reserve(n);
          alleles_.DrawMany(r, drawn_.data(), n);
          source_.Commit(r + n);
          for (std::int32_t i = 0; i < n; ++i) kid[std::ptrdiff_t{i0 + i} * k + 1] = drawn_[static_cast<std::size_t>(i)];
        }
      }
    }
    if (s_.NCO[0] >= nSeg) {
      const AlleleTable::Lookup alleles = alleles_.View();
      for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(2)) {
        const std::int32_t n = std::min(ChunkLoci(2), nSeg - i0);
        const std::int32_t* r = source_.Reserve(2 * n);
        for (std::int32_t i = i0; i < i0 + n; ++i) {
          const std::int32_t* m = mom + std::ptrdiff_t{i} * 2;
          std::int32_t* c = kid + std::ptrdiff_t{i} * k;
          c[0] = Pick(m[0], m[1], r, half);
          if (kDiploid) c[1] = alleles.Draw(*r++);
        }
        source_.Commit(r);
      }
    }
    return true;
  }

  // AllAuntsExcluded on the block stream.
  template <bool kDiploid>
  bool AllAuntsExcludedBlock(std::int32_t nAunts) {
    constexpr std::int32_t g = kDiploid ? 4 : 3;
    constexpr std::int32_t k = kDiploid ? 2 : 1;
    const std::int32_t nSeg = s_.NSeg;
    const std::int32_t nCand = s_.NCand;
    const std::uint32_t half = pickSecond_;
    const std::int32_t* grand = s_.GrandGene.data();
    const std::int32_t* kid = s_.KidGene.data();
    const std::int32_t* cand = s_.CandLoci.data();
    std::int32_t* aunt = s_.AuntGene.data();
    for (std::int32_t a = 0; a < nAunts; ++a) {
      s_.NCO[0] = nSeg + 1;
      s_.NCO[1] = nSeg + 1;
      if (linked_) {
        FormGameteBlock<true>(0, grand, grand + 1, g, aunt + 1, 2);
        if (kDiploid) FormGameteBlock<true>(1, grand + 2, grand + 3, g, aunt, 2);
      }
      if (nCand == 0) return false;
      const bool linkedFather = s_.NCO[1] < nSeg;
      const bool linkedMother = s_.NCO[0] < nSeg;
      bool excluded = false;
      for (std::int32_t e0 = 0; e0 < nCand && !excluded; e0 += ChunkLoci(2)) {
        const std::int32_t n = std::min(ChunkLoci(2), nCand - e0);
        const std::int32_t* r = source_.Reserve(2 * n);
        for (std::int32_t e = e0; e < e0 + n; ++e) {
          const std::int32_t i = cand[e];
          const std::int32_t* column = grand + std::ptrdiff_t{i} * g;
          const std::int32_t* child = kid + std::ptrdiff_t{i} * k;
          const std::int32_t* linked = aunt + std::ptrdiff_t{i} * 2;
          if constexpr (kDiploid) {
            const std::int32_t a1 = linkedFather ? linked[0] : Pick(column[2], column[3], r, half);
            // Carrying one of the child's alleles she is not excluded here,
            // and her other allele is not drawn.
            const bool carries = (a1 == child[0]) | (a1 == child[1]);
            const std::int32_t a2 = linkedMother ? linked[1] : Pick(column[0], column[1], r, half, !carries);
            excluded = !carries & (a2 != child[0]) & (a2 != child[1]);
          } else {
            const std::int32_t a1 = column[2];
            const std::int32_t a2 = linkedMother ? linked[1] : Pick(column[0], column[1], r, half);
            excluded = (a1 != child[0]) & (a2 != child[0]);
          }
          if (excluded) break;
        }
        source_.Commit(r);
      }
      if (!excluded) return false;
    }
    return true;
  }

  AlleleTable alleles_;
  std::array<std::int32_t, BlockStream::kMaxReserve> drawn_;
  std::uint32_t pickSecond_ = 0;
  std::uint32_t secondHomolog_ = 0;

  const FamilyModel& model_;
  FamilyStorage& s_;
  PoissonCache& cache_;
  Source& source_;
  bool linked_;
};

}  // namespace exc
