#include "simulator/raw_decisions.hpp"

#include <algorithm>

#include "simulator/uniform.hpp"

namespace exc {

float DeviateOf(std::int32_t r) { return static_cast<float>(r) * kUniformScale; }

std::uint32_t SmallestRawReaching(float value) {
  // Binary search over 0 .. 2^31 - 1 for the first r with value <= u(r).
  std::uint32_t lo = 0;
  std::uint32_t hi = 0x80000000u;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (value <= DeviateOf(static_cast<std::int32_t>(mid))) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

AlleleTable::AlleleTable(std::span<const float> cumAfe) {
  for (std::size_t j = 0; j + 1 < cumAfe.size(); ++j) thresholds_.push_back(SmallestRawReaching(cumAfe[j]));
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

std::int32_t AlleleTable::Count(std::uint32_t raw) const {
  return 1 + static_cast<std::int32_t>(std::upper_bound(thresholds_.begin(), thresholds_.end(), raw) - thresholds_.begin());
}

}  // namespace exc
