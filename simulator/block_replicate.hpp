// The replicate the program runs, on the block stream.
//
// It makes the draws of DrawByDrawReplicate, in the same order and with the
// same outcome, but reads the odd integers ahead in blocks and takes every
// decision on them without a branch, consuming a draw by moving a pointer:
// a deviate compared with a fixed value becomes the odd integer compared
// with a threshold found once (raw_decisions.hpp). The tests hold it to
// DrawByDrawReplicate replicate after replicate.
//
// It touches the shared storage (family.hpp), the block stream, the
// allele table and the Poisson deviate; beyond 64 segregating loci it forms
// a gamete with DrawByDrawReplicate's FormGamete.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "simulator/draw_by_draw_replicate.hpp"
#include "simulator/family.hpp"
#include "simulator/poisson.hpp"
#include "simulator/raw_decisions.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {

class BlockReplicate {
 public:
  // The thresholds come from CumAfe as it stands now, the allele count
  // kernel from the stream's kernel set.
  BlockReplicate(const FamilyModel& model, FamilyStorage& storage, PoissonCache& cache, BlockStream& source);

  // One whole replicate: true when every candidate aunt is excluded.
  bool Run(std::int32_t nLoci, std::int32_t nAunts);

 private:
  template <bool kDiploid>
  bool RunAs(std::int32_t nLoci, std::int32_t nAunts);
  template <bool kDiploid>
  bool SimulateFamily(std::int32_t nLoci);
  template <bool kDiploid>
  bool AllAuntsExcluded(std::int32_t nAunts);
  template <GameteStore kStore>
  GameteResult FormGamete(GeneRow<const std::int32_t> h1, GeneRow<const std::int32_t> h2, GeneRow<std::int32_t> out);
  // Beyond 64 segregating loci the crossover marks do not fit one word.
  GameteResult FormGameteDrawByDraw(GeneRow<const std::int32_t> h1, GeneRow<const std::int32_t> h2,
                                    GeneRow<std::int32_t> out, GameteStore store);
  static std::int32_t Pick(std::int32_t a, std::int32_t b, const std::int32_t*& r, std::uint32_t pickSecond,
                           bool wanted = true);
  // Most loci one reservation covers, for up to `perLocus` draws each.
  static constexpr std::int32_t ChunkLoci(std::int32_t perLocus) { return BlockStream::kMaxReserve / perLocus; }

  const FamilyModel& model_;
  FamilyStorage& s_;
  PoissonCache& cache_;
  BlockStream& source_;
  bool linked_;
  AlleleTable alleles_;
  // UnlinkedPick takes its second allele from r at or above pickSecond_;
  // a start draw at or above secondHomolog_ names homolog 2.
  std::uint32_t pickSecond_;
  std::uint32_t secondHomolog_;
  std::array<std::int32_t, BlockStream::kMaxReserve> drawn_;
};

inline BlockReplicate::BlockReplicate(const FamilyModel& model, FamilyStorage& storage, PoissonCache& cache,
                                      BlockStream& source)
    : model_(model),
      s_(storage),
      cache_(cache),
      source_(source),
      linked_(model.Linked()),
      alleles_(storage.CumAfe, source.Kernels()),
      pickSecond_(SmallestRawReaching(0.5f)),
      secondHomolog_(SmallestRawWhere([](float u) { return StartHomolog(u) == 2; })) {}

inline bool BlockReplicate::Run(std::int32_t nLoci, std::int32_t nAunts) {
  return model_.IsDiploid() ? RunAs<true>(nLoci, nAunts) : RunAs<false>(nLoci, nAunts);
}

template <bool kDiploid>
inline bool BlockReplicate::RunAs(std::int32_t nLoci, std::int32_t nAunts) {
  if (!SimulateFamily<kDiploid>(nLoci)) return false;
  MarkCandLoci(model_, s_);
  return AllAuntsExcluded<kDiploid>(nAunts);
}

// Out of line, so that the word path below stays small enough to inline.
[[gnu::noinline]] inline GameteResult BlockReplicate::FormGameteDrawByDraw(GeneRow<const std::int32_t> h1,
                                                                           GeneRow<const std::int32_t> h2,
                                                                           GeneRow<std::int32_t> out,
                                                                           GameteStore store) {
  return DrawByDrawReplicate<BlockStream>(model_, s_, cache_, source_).FormGamete(h1, h2, out, store);
}

// The crossover marks of up to 64 loci are the bits of one word: the
// homolog of locus i is the start draw's XOR the parity of the marks at
// positions 2 .. i + 1, a prefix XOR of the word. An aunt's gamete is
// stored at the candidate loci only, the only ones the aunt test reads.
template <GameteStore kStore>
inline GameteResult BlockReplicate::FormGamete(GeneRow<const std::int32_t> h1, GeneRow<const std::int32_t> h2,
                                               GeneRow<std::int32_t> out) {
  const std::int32_t nSeg = s_.NSeg;
  if (nSeg > 64) [[unlikely]] return FormGameteDrawByDraw(h1, h2, out, kStore);
  const auto count = static_cast<std::int32_t>(PoissonDeviate(cache_, source_, model_.MapLength));
  if (count >= nSeg) return {count, false};
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
  // Locus i takes homolog 2 where bit i of `second` is set.
  auto store = [&](std::int32_t i) {
    const auto mask = -static_cast<std::int32_t>((second >> i) & 1u);
    out[i] = h1[i] ^ ((h1[i] ^ h2[i]) & mask);
  };
  if constexpr (kStore == GameteStore::CandidateLoci) {
    const std::int32_t* cand = s_.CandLoci.data();
    const std::int32_t nCand = s_.NCand;
    for (std::int32_t e = 0; e < nCand; ++e) store(cand[e]);
  } else {
    for (std::int32_t i = 0; i < nSeg; ++i) store(i);
  }
  return {count, true};
}

// The grandparents' columns are compacted as they are drawn.
template <bool kDiploid>
inline bool BlockReplicate::SimulateFamily(std::int32_t nLoci) {
  constexpr std::int32_t g = kDiploid ? 4 : 3;
  constexpr std::int32_t k = kDiploid ? 2 : 1;
  const std::uint32_t half = pickSecond_;
  const GeneTable<std::int32_t, Rows<g>> grand{s_.GrandGene.data(), {}};
  std::int32_t nSeg = 0;
  for (std::int32_t i0 = 0; i0 < nLoci; i0 += ChunkLoci(g)) {
    const std::int32_t n = std::min(ChunkLoci(g), nLoci - i0);
    const std::int32_t* r = source_.Reserve(n * g);
    if constexpr (kDiploid) {
      alleles_.DrawMany(r, grand[i0], n * g);
      // Compaction in place: a column moves down to the next free one.
      for (std::int32_t i = i0; i < i0 + n; ++i) {
        const std::int32_t* column = grand[i];
        const bool segregating = (column[0] != column[1]) | (column[2] != column[3]);
        std::copy_n(column, g, grand[nSeg]);
        nSeg += segregating ? 1 : 0;
      }
    } else {
      // Three alleles a locus: looked up one by one, each column drawn
      // straight into its compacted place (measured faster here).
      const AlleleTable::Lookup alleles = alleles_.View();
      for (std::int32_t i = 0; i < n; ++i) {
        std::int32_t* column = grand[nSeg];
        for (std::int32_t j = 0; j < g; ++j) column[j] = alleles.Draw(r[i * g + j]);
        nSeg += column[0] != column[1] ? 1 : 0;
      }
    }
    source_.Commit(r + n * g);
  }
  s_.NSeg = nSeg;
  if (nSeg == 0) return false;

  // The mother: row 0 from the grandfather, row 1 from the grandmother.
  const GeneTable<std::int32_t, Rows<2>> mom{s_.MomGene.data(), {}};
  bool fromGrandmother = false;
  bool fromGrandfather = false;
  if (linked_) {
    fromGrandmother = FormGamete<GameteStore::EveryLocus>(grand.Row(0), grand.Row(1), mom.Row(1)).formed;
    if (kDiploid) fromGrandfather = FormGamete<GameteStore::EveryLocus>(grand.Row(2), grand.Row(3), mom.Row(0)).formed;
  }
  for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(2)) {
    const std::int32_t n = std::min(ChunkLoci(2), nSeg - i0);
    const std::int32_t* r = source_.Reserve(2 * n);
    for (std::int32_t i = i0; i < i0 + n; ++i) {
      const std::int32_t* column = grand[i];
      std::int32_t* m = mom[i];
      // Both alleles before either store. The row might alias the stream
      // for all the compiler knows, so a store ahead of the next read of
      // the stream holds that read back: measured 4 to 7% of a diploid run.
      std::int32_t paternal = m[0];
      std::int32_t maternal = m[1];
      if (!kDiploid) {
        paternal = column[2];
      } else if (!fromGrandfather) {
        paternal = Pick(column[2], column[3], r, half);
      }
      if (!fromGrandmother) maternal = Pick(column[0], column[1], r, half);
      m[0] = paternal;
      m[1] = maternal;
    }
    source_.Commit(r);
  }

  // The child: row 0 from the mother, row 1 (diploid) from the population.
  const GeneTable<std::int32_t, Rows<k>> kid{s_.KidGene.data(), {}};
  bool fromMother = false;
  if (linked_) {
    fromMother = FormGamete<GameteStore::EveryLocus>(mom.Row(0), mom.Row(1), kid.Row(0)).formed;
    if (kDiploid) {
      // Drawn again below when the child's gamete is not formed; the
      // second set stands.
      for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(1)) {
        const std::int32_t n = std::min(ChunkLoci(1), nSeg - i0);
        const std::int32_t* r = source_.Reserve(n);
        alleles_.DrawMany(r, drawn_.data(), n);
        source_.Commit(r + n);
        for (std::int32_t i = 0; i < n; ++i) kid[i0 + i][1] = drawn_[static_cast<std::size_t>(i)];
      }
    }
  }
  if (!fromMother) {
    const AlleleTable::Lookup alleles = alleles_.View();
    for (std::int32_t i0 = 0; i0 < nSeg; i0 += ChunkLoci(2)) {
      const std::int32_t n = std::min(ChunkLoci(2), nSeg - i0);
      const std::int32_t* r = source_.Reserve(2 * n);
      for (std::int32_t i = i0; i < i0 + n; ++i) {
        const std::int32_t* m = mom[i];
        std::int32_t* c = kid[i];
        // Both alleles before either store, as for the mother above.
        const std::int32_t maternal = Pick(m[0], m[1], r, half);
        const std::int32_t paternal = kDiploid ? alleles.Draw(*r++) : 0;
        c[0] = maternal;
        if (kDiploid) c[1] = paternal;
      }
      source_.Commit(r);
    }
  }
  return true;
}

template <bool kDiploid>
inline bool BlockReplicate::AllAuntsExcluded(std::int32_t nAunts) {
  constexpr std::int32_t g = kDiploid ? 4 : 3;
  constexpr std::int32_t k = kDiploid ? 2 : 1;
  const std::int32_t nCand = s_.NCand;
  const std::uint32_t half = pickSecond_;
  const GeneTable<std::int32_t, Rows<g>> grand{s_.GrandGene.data(), {}};
  const GeneTable<std::int32_t, Rows<k>> kid{s_.KidGene.data(), {}};
  const GeneTable<std::int32_t, Rows<2>> aunt{s_.AuntGene.data(), {}};
  const std::int32_t* cand = s_.CandLoci.data();
  for (std::int32_t a = 0; a < nAunts; ++a) {
    // Her gametes, row 0 from the grandfather, row 1 from the grandmother.
    bool fromGrandmother = false;
    bool fromGrandfather = false;
    if (linked_) {
      fromGrandmother = FormGamete<GameteStore::CandidateLoci>(grand.Row(0), grand.Row(1), aunt.Row(1)).formed;
      if (kDiploid)
        fromGrandfather = FormGamete<GameteStore::CandidateLoci>(grand.Row(2), grand.Row(3), aunt.Row(0)).formed;
    }
    if (nCand == 0) return false;
    bool excluded = false;
    for (std::int32_t e0 = 0; e0 < nCand && !excluded; e0 += ChunkLoci(2)) {
      const std::int32_t n = std::min(ChunkLoci(2), nCand - e0);
      const std::int32_t* r = source_.Reserve(2 * n);
      for (std::int32_t e = e0; e < e0 + n; ++e) {
        const std::int32_t i = cand[e];
        const std::int32_t* column = grand[i];
        const std::int32_t* child = kid[i];
        const std::int32_t* linked = aunt[i];
        if constexpr (kDiploid) {
          const std::int32_t a1 = fromGrandfather ? linked[0] : Pick(column[2], column[3], r, half);
          // Carrying one of the child's alleles she is not excluded here,
          // and her other allele is not drawn.
          const bool carries = (a1 == child[0]) | (a1 == child[1]);
          const std::int32_t a2 = fromGrandmother ? linked[1] : Pick(column[0], column[1], r, half, !carries);
          excluded = !carries & (a2 != child[0]) & (a2 != child[1]);
        } else {
          const std::int32_t a1 = column[2];
          const std::int32_t a2 = fromGrandmother ? linked[1] : Pick(column[0], column[1], r, half);
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

// UnlinkedPick on the reserved values: a draw is used only when the
// alleles differ (and `wanted`), and then u >= 0.5 takes b. Masks rather
// than selects: the compiler turns selects in these loops into branches,
// and whether a parent is heterozygous is a coin toss for the predictor.
inline std::int32_t BlockReplicate::Pick(std::int32_t a, std::int32_t b, const std::int32_t*& r,
                                         std::uint32_t pickSecond, bool wanted) {
  const bool draws = wanted & (a != b);
  const bool takeB = draws & (static_cast<std::uint32_t>(*r) >= pickSecond);
  r += static_cast<int>(draws);
  return a ^ ((a ^ b) & -static_cast<std::int32_t>(takeB));
}

}  // namespace exc
