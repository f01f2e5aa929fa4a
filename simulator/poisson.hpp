// Poisson deviates for the crossover counts, drawn from the one stream.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "simulator/draw_source.hpp"
#include "simulator/uniform.hpp"

namespace exc {

// ln Gamma(x) by the six-term Lanczos series. The two summation orders differ
// only in rounding; the per-mean constant uses A and every trial B, which
// keeps the crossover counts identical for a given seed.
double LogGammaOrderA(double x);
double LogGammaOrderB(double x);

// LogGammaOrderB(em + 1) for whole numbers em >= 0: the same values, the
// small ones every trial meets from a table that fills on first use.
class LogGammaWholeTable {
 public:
  static constexpr int kSize = 4096;
  static constexpr std::int64_t kStorageBytes = std::int64_t{kSize} * std::int64_t{sizeof(double)};

  LogGammaWholeTable() : values_(kSize, std::numeric_limits<double>::quiet_NaN()) {}
  double operator()(float em) {
    if (!(em < static_cast<float>(kSize))) return LogGammaOrderB(static_cast<double>(em) + 1.0);
    double& value = values_[static_cast<std::size_t>(em)];
    // NaN marks an entry not yet computed: the series gives none here.
    if (std::isnan(value)) [[unlikely]] value = LogGammaOrderB(static_cast<double>(em) + 1.0);
    return value;
  }

 private:
  // On the heap: 32 KB in the caller's frame moved the block stream's buffer
  // and the replicate's scratch onto other cache sets, and slowed the
  // diploid runs by a few percent.
  std::vector<double> values_;
};

// What the deviate keeps between calls: the per-mean constants, computed on
// the first call and reused while the mean stays the same, and the
// log-gamma table of the rejection method.
struct PoissonCache {
  float Mean = -1.0f;
  float G = 0.0f;
  float SqrtTwoMean = 0.0f;
  float LogMean = 0.0f;
  LogGammaWholeTable LogGammaWhole;
};

namespace poisson_detail {
inline const float kTolerance = std::bit_cast<float>(std::uint32_t{0x358637BD});
inline const float kPi = std::bit_cast<float>(std::uint32_t{0x40490FDB});
inline const float kNinetyPercent = std::bit_cast<float>(std::uint32_t{0x3F666666});
}  // namespace poisson_detail

// A whole number >= 0 from the Poisson distribution with the given mean:
// the product method below 12, the rejection method with a Lorentzian
// comparison function from 12 up. Every float operation is rounded where it
// stands; the order of the draws is part of the result.
template <DrawSource Source>
float PoissonDeviate(PoissonCache& cache, Source& source, float mean) {
  using namespace poisson_detail;
  const bool refresh = std::fabs(mean - cache.Mean) > kTolerance;
  if (mean < 12.0f) {
    if (refresh) {
      cache.Mean = mean;
      cache.G = std::exp(-mean);
    }
    if constexpr (BlockSource<Source>) {
      // Four deviates at a time from a block source: the product never
      // grows, so the number of products still above G is the number of
      // deviates before the one that ends the loop. One branch per four
      // deviates instead of one the predictor misses at every end.
      std::int32_t n = 0;
      float t = 1.0f;
      for (;;) {
        const std::int32_t* r = source.Reserve(4);
        const float t1 = t * (static_cast<float>(r[0]) * kUniformScale);
        const float t2 = t1 * (static_cast<float>(r[1]) * kUniformScale);
        const float t3 = t2 * (static_cast<float>(r[2]) * kUniformScale);
        const float t4 = t3 * (static_cast<float>(r[3]) * kUniformScale);
        const int above = int{t1 > cache.G} + int{t2 > cache.G} + int{t3 > cache.G} + int{t4 > cache.G};
        if (above < 4) {
          source.Commit(r + above + 1);
          return static_cast<float>(n + above);
        }
        source.Commit(r + 4);
        n += 4;
        t = t4;
      }
    }
    float n = -1.0f;
    float t = 1.0f;
    do {
      n = n + 1.0f;
      t = t * source.Deviate();
    } while (t > cache.G);
    return n;
  }
  if (refresh) {
    cache.SqrtTwoMean = std::sqrt(2.0f * mean);
    cache.Mean = mean;
    cache.LogMean = std::log(mean);
    cache.G = cache.LogMean * mean - static_cast<float>(LogGammaOrderA(static_cast<double>(mean) + 1.0));
  }
  for (;;) {
    const OddDraw draw = source.OddInteger();
    const float y = std::tan((kPi * draw.scale) * static_cast<float>(draw.r));
    float em = cache.SqrtTwoMean * y + mean;
    if (em < 0.0f) continue;
    em = std::trunc(em);
    const float e = (cache.LogMean * em - cache.G) - static_cast<float>(cache.LogGammaWhole(em));
    if (e < -87.0f) continue;
    const float u = source.Deviate();
    const float t = ((y * y + 1.0f) * kNinetyPercent) * std::exp(e);
    if (u > t) continue;
    return em;
  }
}

}  // namespace exc
