// Decisions taken straight from the generator's odd integer r.
//
// A deviate is u(r) = single(r) x UniformScale, which never decreases as r
// grows. So every comparison of a deviate with a fixed value is the
// comparison of r with a threshold found once per run, and the allele draw
// is a table look-up on the high bits of r. The answers are those of the
// comparisons on u, for every r the generator can return.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "simulator/kernels.hpp"

namespace exc {

// The deviate that the generator makes of r.
float DeviateOf(std::int32_t r);

// The smallest r >= 0 whose deviate passes `test`, a test that stays
// passed as the deviate grows; 2^31 when no r passes it. A binary search
// over 0 .. 2^31 - 1.
template <class Test>
std::uint32_t SmallestRawWhere(Test test) {
  std::uint32_t lo = 0;
  std::uint32_t hi = 0x80000000u;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (test(DeviateOf(static_cast<std::int32_t>(mid)))) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// The smallest r >= 0 whose deviate is at least `value`; 2^31 when no r
// reaches it.
std::uint32_t SmallestRawReaching(float value);

class AlleleTable {
 public:
  // `cumAfe` as BuildCumAfe leaves it: never decreasing, last entry above
  // every deviate. DrawMany counts with the count kernel of `kernels`.
  explicit AlleleTable(std::span<const float> cumAfe, const KernelSet& kernels = ChooseKernels());

  // What the table of `nAllele` alleles takes in memory.
  static std::int64_t StorageBytes(std::int32_t nAllele);

  // The allele DrawAllele returns for the deviate of r: one plus the number
  // of entries that are not above the deviate.
  std::int32_t Draw(std::int32_t r) const { return Lookup{buckets_.data(), this}.Draw(r); }

  std::int32_t Count(std::uint32_t raw) const;

  // out[i] = Draw(r[i]) for i < n. With few alleles it counts the
  // thresholds below each value several values at a time, which beats a
  // look-up per value.
  void DrawMany(const std::int32_t* r, std::int32_t* out, std::int32_t n) const;

 private:
  static constexpr int kShift = 21;  // 1024 buckets over 0 .. 2^31 - 1
  // Within a bucket at most one threshold value is crossed, by `step`
  // entries at once; -1 marks a bucket that holds several.
  struct Bucket {
    std::uint32_t threshold = 0;
    std::int32_t base = 1;
    std::int32_t step = 0;
  };

 public:
  // The table by plain pointers, for a loop to keep in registers while it
  // stores alleles (which may alias the table's own members).
  struct Lookup {
    const Bucket* buckets;
    const AlleleTable* table;
    std::int32_t Draw(std::int32_t r) const {
      const auto raw = static_cast<std::uint32_t>(r);
      const Bucket b = buckets[raw >> kShift];
      if (b.step < 0) [[unlikely]] return table->Count(raw);
      // A mask rather than a select, which the compiler may turn into a branch.
      return b.base + (b.step & -static_cast<std::int32_t>(raw >= b.threshold));
    }
  };
  Lookup View() const { return {buckets_.data(), this}; }

 private:
  std::vector<Bucket> buckets_;
  std::vector<std::uint32_t> thresholds_;  // one per entry but the last
  // threshold - 1 as signed values: r >= threshold exactly when r > it,
  // for every r of the generator (1 .. 2^31 - 1).
  std::vector<std::int32_t> belowThresholds_;
  ThresholdCount count_ = nullptr;  // null where there are too many thresholds to count
};

// The count kernels, each a ThresholdCount; a KernelSet names one. The
// portable one works on 16-byte vectors, the AVX2 one on 32-byte vectors.
void CountBelowPortable(const std::int32_t* below, std::int32_t count, const std::int32_t* r, std::int32_t* out,
                        std::int32_t n);
#if defined(__x86_64__)
void CountBelowAvx2(const std::int32_t* below, std::int32_t count, const std::int32_t* r, std::int32_t* out,
                    std::int32_t n);
#endif

}  // namespace exc
