// The log-gamma table of the rejection method returns the series' own values.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "simulator/poisson.hpp"

namespace exc {
namespace {

TEST(LogGammaTable, SameBitsAsTheSeriesInsideAndBeyondTheTable) {
  // Twice over: the first pass fills the table, the second reads it.
  LogGammaWholeTable table;
  for (int pass = 0; pass < 2; ++pass) {
    for (int n = 0; n < 6000; ++n) {
      const auto em = static_cast<float>(n);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(table(em)),
                std::bit_cast<std::uint64_t>(LogGammaOrderB(static_cast<double>(em) + 1.0)))
          << "em " << n << " pass " << pass;
    }
  }
  for (float em : {16777216.0f, 5.9e8f}) EXPECT_EQ(table(em), LogGammaOrderB(static_cast<double>(em) + 1.0));
}

}  // namespace
}  // namespace exc
