#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "calculator/exact.hpp"

namespace exc {
namespace {

double Prob(const std::vector<double>& freq, std::int32_t loci, std::int32_t aunts) {
  ExactTerms terms = PrepareExact(freq, static_cast<std::int32_t>(freq.size()), loci);
  return ExactExProb(terms, loci, aunts);
}

// The same probability from the number of candidate loci alone, in long
// double and without logarithms.
long double ClosedForm(const std::vector<double>& freq, int loci, int aunts) {
  long double sumSq = 0.0L;
  long double sumCube = 0.0L;
  for (double f : freq) {
    const long double p = f;
    sumSq += p * p;
    sumCube += p * p * p;
  }
  const long double q = (1.0L - 2.0L * sumSq + sumCube) / 2.0L;
  long double total = 0.0L;
  long double binomial = 1.0L;
  for (int k = 1; k <= loci; ++k) {
    binomial = binomial * (loci - k + 1) / k;
    total += binomial * std::pow(q, k) * std::pow(1.0L - q, loci - k) * std::pow(1.0L - std::ldexp(1.0L, -k), aunts);
  }
  return total;
}

const std::vector<std::vector<double>> kFrequencyVectors = {
    {0.25, 0.25, 0.25, 0.25},
    {0.3, 0.2, 0.15, 0.1, 0.1, 0.1, 0.05},
    {0.5, 0.5},
    {0.9, 0.05, 0.05},
    {0.5, 0.5, 0.0},
    std::vector<double>(20, 0.05),
};

TEST(ExactExProb, SmallCasesGiveTheirExactFractions) {
  EXPECT_NEAR(Prob({0.25, 0.25, 0.25, 0.25}, 1, 1), 9.0 / 64.0, 1e-15);
  EXPECT_NEAR(Prob({0.5, 0.25, 0.125, 0.125}, 1, 1), 117.0 / 1024.0, 1e-15);
  EXPECT_NEAR(Prob({0.5, 0.5}, 1, 1), 1.0 / 16.0, 1e-15);
  // Two aunts at one candidate locus: each escapes with probability 1/2.
  EXPECT_NEAR(Prob({0.25, 0.25, 0.25, 0.25}, 1, 2), 9.0 / 128.0, 1e-15);
}

TEST(ExactExProb, AlleleOfFrequencyZeroChangesNothingAndNeverGivesNaN) {
  const std::vector<double> two = {0.5, 0.5};
  const std::vector<double> threeWithZero = {0.5, 0.5, 0.0};
  for (std::int32_t loci = 1; loci <= 25; ++loci) {
    for (std::int32_t aunts = 1; aunts <= 4; ++aunts) {
      const double expected = Prob(two, loci, aunts);
      EXPECT_EQ(Prob(threeWithZero, loci, aunts), expected) << loci << " loci, " << aunts << " aunts";
    }
  }
  // Unequal pairs leave Q2 a rounding error away from zero, on either side.
  for (const std::vector<double>& freq : {std::vector<double>{0.3, 0.7, 0.0}, std::vector<double>{0.1, 0.0, 0.9},
                                          std::vector<double>{0.0, 0.6, 0.4, 0.0}}) {
    std::vector<double> nonZero;
    for (double f : freq)
      if (f > 0.0) nonZero.push_back(f);
    for (std::int32_t loci : {1, 7, 30}) {
      const double withZero = Prob(freq, loci, 2);
      ASSERT_FALSE(std::isnan(withZero));
      EXPECT_NEAR(withZero, Prob(nonZero, loci, 2), 1e-12 * Prob(nonZero, loci, 2));
    }
  }
}

TEST(ExactExProb, SingleAlleleExcludesNobody) {
  for (const std::vector<double>& freq : {std::vector<double>{1.0, 0.0}, std::vector<double>{0.0, 1.0, 0.0}}) {
    ExactTerms terms = PrepareExact(freq, static_cast<std::int32_t>(freq.size()), 12);
    EXPECT_FALSE(terms.Q1Possible);
    EXPECT_FALSE(terms.Q2Possible);
    for (std::int32_t loci = 0; loci <= 12; ++loci)
      for (std::int32_t aunts = 1; aunts <= 3; ++aunts) EXPECT_EQ(ExactExProb(terms, loci, aunts), 0.0);
  }
}

TEST(ExactExProb, AgreesWithClosedFormUpToSixtyLoci) {
  for (const std::vector<double>& freq : kFrequencyVectors) {
    ExactTerms terms = PrepareExact(freq, static_cast<std::int32_t>(freq.size()), 60);
    for (int loci = 1; loci <= 60; ++loci) {
      const long double expected = ClosedForm(freq, loci, 1);
      EXPECT_NEAR(ExactExProb(terms, loci, 1), static_cast<double>(expected), 1e-12 * static_cast<double>(expected))
          << freq.size() << " alleles, " << loci << " loci";
    }
    for (int loci : {1, 5, 17, 33, 54, 60}) {
      for (int aunts : {2, 25, 1000}) {
        const long double expected = ClosedForm(freq, loci, aunts);
        EXPECT_NEAR(ExactExProb(terms, loci, aunts), static_cast<double>(expected),
                    1e-12 * static_cast<double>(expected))
            << freq.size() << " alleles, " << loci << " loci, " << aunts << " aunts";
      }
    }
  }
}

TEST(ExactExProb, MoreAuntsNeverRaiseTheProbability) {
  for (const std::vector<double>& freq : {kFrequencyVectors[1], kFrequencyVectors[3]}) {
    ExactTerms terms = PrepareExact(freq, static_cast<std::int32_t>(freq.size()), 30);
    for (std::int32_t loci = 1; loci <= 30; ++loci) {
      double previous = ExactExProb(terms, loci, 1);
      for (std::int32_t aunts = 2; aunts <= 12; ++aunts) {
        const double current = ExactExProb(terms, loci, aunts);
        EXPECT_LE(current, previous) << loci << " loci, " << aunts << " aunts";
        previous = current;
      }
    }
  }
}

TEST(ExactExProb, ResultDoesNotDependOnEarlierPairs) {
  const std::vector<double>& freq = kFrequencyVectors[1];
  const double fresh = Prob(freq, 20, 3);
  ExactTerms terms = PrepareExact(freq, static_cast<std::int32_t>(freq.size()), 40);
  ExactExProb(terms, 40, 3);
  EXPECT_EQ(ExactExProb(terms, 20, 3), fresh);
  ExactExProb(terms, 20, 5);
  EXPECT_EQ(ExactExProb(terms, 20, 3), fresh);
  ExactExProb(terms, 5, 1);
  EXPECT_EQ(ExactExProb(terms, 20, 3), fresh);
}

TEST(ExactExProb, AllExcludedTermVanishesFromFiftyFourCandidateLoci) {
  ExactTerms terms = PrepareExact(kFrequencyVectors[0], 4, 60);
  ExactExProb(terms, 60, 5);
  EXPECT_LT(terms.LogAllExcluded[53], 0.0);
  for (std::size_t k = 54; k <= 60; ++k) EXPECT_EQ(terms.LogAllExcluded[k], 0.0) << k;
}

TEST(PrepareExact, SumsFrequencyPowersInPairedOrder) {
  // A vector whose sum of squares depends on the order of the additions.
  const std::vector<double> freq = {0.07, 0.3, 0.2, 0.13, 0.3};
  std::vector<double> squares;
  std::vector<double> cubes;
  for (double p : freq) {
    squares.push_back(p * p);
    cubes.push_back(p * (p * p));
  }
  double sequential = 0.0;
  for (double s : squares) sequential = sequential + s;
  const double pairedSq = ((squares[0] + squares[2]) + (squares[1] + squares[3])) + squares[4];
  const double pairedCube = ((cubes[0] + cubes[2]) + (cubes[1] + cubes[3])) + cubes[4];
  ASSERT_NE(pairedSq, sequential);

  const ExactTerms terms = PrepareExact(freq, 5, 3);
  EXPECT_EQ(terms.SumSq, pairedSq);
  EXPECT_EQ(terms.SumCube, pairedCube);
  EXPECT_TRUE(terms.Q1Possible);
  EXPECT_TRUE(terms.Q2Possible);
  EXPECT_EQ(terms.LogQ0, std::log(pairedSq));
}

}  // namespace
}  // namespace exc
