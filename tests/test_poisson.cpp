#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "simulator/poisson.hpp"
#include "simulator/uniform.hpp"

namespace exc {
namespace {

struct PoissonRow {
  float deviate;
  std::int64_t stepsSoFar;
};

std::vector<PoissonRow> ReferenceDeviates(const std::string& mean) {
  std::ifstream in(test::DataPath("poisson/mean_" + mean + ".txt"));
  std::vector<PoissonRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    long call = 0;
    PoissonRow row{};
    fields >> call >> row.deviate >> row.stepsSoFar;
    rows.push_back(row);
  }
  return rows;
}

TEST(PoissonDeviate, MatchesReferenceSequences) {
  // 11.999999046325684 is the largest float below 12 (product method);
  // 12.0 already takes the rejection method; 1e-8 has exp(-mean) = 1.
  for (const char* mean : {"0.5", "2.0", "11.999999046325684", "12.0", "35.0", "100.0", "998.0", "1e-8"}) {
    SCOPED_TRACE(mean);
    const std::vector<PoissonRow> reference = ReferenceDeviates(mean);
    ASSERT_EQ(reference.size(), 300u);
    CountingStream stream{UniformState{-1}};
    PoissonCache cache;
    const float m = std::stof(mean);
    for (std::size_t i = 0; i < reference.size(); ++i) {
      ASSERT_EQ(PoissonDeviate(cache, stream, m), reference[i].deviate) << "call " << i + 1;
      ASSERT_EQ(stream.steps, reference[i].stepsSoFar) << "call " << i + 1;
    }
  }
}

TEST(PoissonDeviate, ProductMethodConsumesResultPlusOne) {
  CountingStream stream{UniformState{-99}};
  PoissonCache cache;
  for (int i = 0; i < 2000; ++i) {
    const std::int64_t before = stream.steps;
    const float n = PoissonDeviate(cache, stream, 3.5f);
    ASSERT_EQ(n, std::floor(n));
    ASSERT_GE(n, 0.0f);
    ASSERT_EQ(stream.steps - before, static_cast<std::int64_t>(n) + 1);
  }
  // The stream goes on right after the consumed deviates.
  UniformState replay{-99};
  for (std::int64_t i = 0; i < stream.steps; ++i) replay.Step();
  EXPECT_EQ(replay.Step(), stream.state.Step());
}

TEST(PoissonDeviate, MethodThreshold) {
  PoissonCache cache;
  CountingStream stream{UniformState{-7}};
  PoissonDeviate(cache, stream, std::bit_cast<float>(std::uint32_t{0x413FFFFF}));
  EXPECT_EQ(cache.SqrtTwoMean, 0.0f) << "below 12 uses the product method";
  PoissonCache atTwelve;
  PoissonDeviate(atTwelve, stream, 12.0f);
  EXPECT_EQ(atTwelve.SqrtTwoMean, std::sqrt(24.0f));
  EXPECT_EQ(atTwelve.LogMean, std::log(12.0f));
}

TEST(LogGamma, BothOrdersNearFactorials) {
  // ln(n!) = LogGamma(n + 1): the two orders agree to rounding.
  double logFactorial = 0.0;
  for (int n = 1; n <= 170; ++n) {
    logFactorial += std::log(static_cast<double>(n));
    const double x = n + 1.0;
    EXPECT_NEAR(LogGammaOrderA(x), logFactorial, 1e-9 * std::max(1.0, logFactorial)) << n;
    EXPECT_NEAR(LogGammaOrderB(x), LogGammaOrderA(x), 1e-12 * std::max(1.0, logFactorial)) << n;
  }
}

}  // namespace
}  // namespace exc
