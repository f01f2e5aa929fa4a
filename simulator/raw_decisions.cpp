#include "simulator/raw_decisions.hpp"

#include <algorithm>

#include "simulator/uniform.hpp"

namespace exc {

namespace {

// Alleles few enough that counting thresholds pays.
constexpr std::size_t kCountedThresholds = 15;

using Lanes4 = std::int32_t __attribute__((vector_size(16)));
using Lanes8 = std::int32_t __attribute__((vector_size(32)));

// The body of both forms, for vectors of L lanes: four for the portable
// form (SSE2 on x86-64; wider vectors there would be emulated), eight for
// the AVX2 one.
template <class Lanes, int L>
__attribute__((always_inline)) inline void CountBelow(const std::int32_t* below, std::int32_t count,
                                                      const std::int32_t* r, std::int32_t* out, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + L <= n; i += L) {
    Lanes values;
    __builtin_memcpy(&values, r + i, sizeof values);
    Lanes alleles = values - values + 1;
    // A true comparison is -1 in every bit.
    for (std::int32_t j = 0; j < count; ++j) alleles -= values > below[j];
    __builtin_memcpy(out + i, &alleles, sizeof alleles);
  }
  if (i < n) {
    // The last few values through one padded vector as well.
    const auto rest = static_cast<std::size_t>(n - i) * sizeof(std::int32_t);
    Lanes values = {};
    __builtin_memcpy(&values, r + i, rest);
    Lanes alleles = values - values + 1;
    for (std::int32_t j = 0; j < count; ++j) alleles -= values > below[j];
    __builtin_memcpy(out + i, &alleles, rest);
  }
}

}  // namespace

void CountBelowPortable(const std::int32_t* below, std::int32_t count, const std::int32_t* r, std::int32_t* out,
                        std::int32_t n) {
  CountBelow<Lanes4, 4>(below, count, r, out, n);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void CountBelowAvx2(const std::int32_t* below, std::int32_t count,
                                                    const std::int32_t* r, std::int32_t* out, std::int32_t n) {
  CountBelow<Lanes8, 8>(below, count, r, out, n);
}
#endif

float DeviateOf(std::int32_t r) { return static_cast<float>(r) * kUniformScale; }

std::uint32_t SmallestRawReaching(float value) {
  return SmallestRawWhere([value](float u) { return value <= u; });
}

AlleleTable::AlleleTable(std::span<const float> cumAfe, const KernelSet& kernels) {
  for (std::size_t j = 0; j + 1 < cumAfe.size(); ++j) {
    thresholds_.push_back(SmallestRawReaching(cumAfe[j]));
    belowThresholds_.push_back(static_cast<std::int32_t>(thresholds_.back() - 1u));
  }
  if (thresholds_.size() <= kCountedThresholds) count_ = kernels.count;
  buckets_.resize(std::size_t{1} << (31 - kShift));
  for (std::size_t b = 0; b < buckets_.size(); ++b) {
    const auto first = static_cast<std::uint32_t>(b << kShift);
    const std::uint32_t last = first + ((1u << kShift) - 1u);
    Bucket& bucket = buckets_[b];
    bucket.base = Count(first);
    // Threshold values crossed inside the bucket, with their multiplicity.
    const auto from = std::upper_bound(thresholds_.begin(), thresholds_.end(), first);
    const auto to = std::upper_bound(thresholds_.begin(), thresholds_.end(), last);
    if (from == to) continue;
    if (*from != *(to - 1)) {
      bucket.step = -1;
      continue;
    }
    bucket.threshold = *from;
    bucket.step = static_cast<std::int32_t>(to - from);
  }
}

void AlleleTable::DrawMany(const std::int32_t* r, std::int32_t* out, std::int32_t n) const {
  if (count_ != nullptr) {
    count_(belowThresholds_.data(), static_cast<std::int32_t>(belowThresholds_.size()), r, out, n);
    return;
  }
  const Lookup lookup = View();
  for (std::int32_t i = 0; i < n; ++i) out[i] = lookup.Draw(r[i]);
}

std::int64_t AlleleTable::StorageBytes(std::int32_t nAllele) {
  const std::int64_t buckets = std::int64_t{1} << (31 - kShift);
  return buckets * std::int64_t{sizeof(Bucket)} +
         std::int64_t{nAllele} * std::int64_t{sizeof(std::uint32_t) + sizeof(std::int32_t)};
}

std::int32_t AlleleTable::Count(std::uint32_t raw) const {
  return 1 + static_cast<std::int32_t>(std::upper_bound(thresholds_.begin(), thresholds_.end(), raw) - thresholds_.begin());
}

}  // namespace exc
