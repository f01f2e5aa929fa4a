// The block generator against the serial step, value for value.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "simulator/kernels.hpp"
#include "simulator/raw_decisions.hpp"
#include "simulator/uniform.hpp"
#include "simulator/uniform_block.hpp"

namespace {

using exc::BlockStream;
using exc::KernelChoice;
using exc::UniformState;

// 0: its own stream; 777755555: the xorshift word starts at 0 and stays 0;
// 1258593648: the Park-Miller word starts at the modulus and drops to 0;
// the extremes of the valid range; a few ordinary seeds, both signs.
const std::int32_t kSeeds[] = {0, -777755555, -1258593648, -1258593649, -2147483646, -1, -7, -12345, -99, -2146483646};

// Every value of `steps` steps, read through the serial interface so the
// refills fall at every position modulo the block.
void ExpectSameStream(std::int32_t seed, KernelChoice kernels, std::int64_t steps) {
  UniformState serial;
  serial.Seed = seed;
  BlockStream block(seed, exc::ChooseKernels(kernels));
  for (std::int64_t i = 0; i < steps; ++i) {
    const std::int32_t expected = serial.Step();
    const std::int32_t actual = block.Step();
    if (expected != actual) {
      FAIL() << "seed " << seed << " step " << i + 1 << ": " << actual << " instead of " << expected;
    }
  }
  EXPECT_EQ(block.Position(), steps);
}

TEST(Kernels, EachChoiceGivesItsOwnSetOrFails) {
  for (KernelChoice choice : exc::kKernelChoices) {
    SCOPED_TRACE(exc::KernelName(choice));
    if (!exc::ProcessorTakes(choice)) {
      EXPECT_THROW(exc::ChooseKernels(choice), std::invalid_argument);
      continue;
    }
    EXPECT_EQ(exc::ChooseKernels(choice).choice, choice);
  }
  const exc::KernelSet portable = exc::ChooseKernels(KernelChoice::Portable);
  EXPECT_EQ(portable.fill, &exc::FillBlockPortable);
  EXPECT_EQ(portable.count, &exc::CountBelowPortable);
  const exc::KernelSet best = exc::ChooseKernels();
  EXPECT_NE(best.choice, KernelChoice::Best);
  EXPECT_TRUE(exc::ProcessorTakes(best.choice));
  // A stream keeps its set, for the replicate on it to take.
  EXPECT_EQ(BlockStream(-1, portable).Kernels().choice, KernelChoice::Portable);
}

TEST(BlockStream, MatchesSerialStepForEverySeedAndKernel) {
  for (KernelChoice kernels : exc::kKernelChoices)
    if (exc::ProcessorTakes(kernels))
      for (std::int32_t seed : kSeeds) ExpectSameStream(seed, kernels, 1'000'000);
}

TEST(BlockStream, MatchesSerialStepOverManyMillionSteps) {
  for (std::int32_t seed : {-777755555, -1258593648, -12345}) ExpectSameStream(seed, KernelChoice::Best, 16'000'000);
}

TEST(BlockStream, SeedsOutsideTheValidRangeFollowTheSerialStep) {
  for (std::int32_t seed : {INT32_MIN, -2147483647, 2147483647}) ExpectSameStream(seed, KernelChoice::Best, 5000);
}

TEST(BlockStream, ReservedValuesAreUsedOnlyWhenCommitted) {
  UniformState serial;
  serial.Seed = -31;
  BlockStream block(-31);
  std::int64_t taken = 0;
  // Reservations of every size straddle the block boundaries; half of what
  // is reserved is used.
  for (int n = 1; n <= BlockStream::kMaxReserve; n += 7) {
    const std::int32_t* r = block.Reserve(n);
    for (int i = 0; i < n / 2; ++i) ASSERT_EQ(r[i], serial.Step()) << "reserve " << n << " value " << i;
    block.Commit(r + n / 2);
    taken += n / 2;
    ASSERT_EQ(block.Position(), taken);
  }
  EXPECT_EQ(block.Step(), serial.Step());
}

TEST(BlockStream, DeviatesAndOddIntegersAreThoseOfTheSerialStep) {
  UniformState serial;
  serial.Seed = -5;
  BlockStream block(-5);
  for (int i = 0; i < 10000; ++i) {
    if (i % 3 == 0) {
      const exc::OddDraw a = serial.OddInteger();
      const exc::OddDraw b = block.OddInteger();
      ASSERT_EQ(a.r, b.r);
      ASSERT_EQ(a.scale, b.scale);
    } else {
      ASSERT_EQ(serial.Deviate(), block.Deviate());
    }
  }
}

}  // namespace
