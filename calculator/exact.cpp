#include "calculator/exact.hpp"

#include <cmath>
#include <cstddef>

namespace exc {

namespace {

// The doubles nearest to ln(1/4), ln(3/4) and ln(1/2), written out so that
// the result does not depend on how the library rounds these logarithms.
constexpr double kLogQuarter = -1.3862943611198906;
constexpr double kLogThreeQuarters = -0.2876820724517809;
constexpr double kLogHalf = -0.6931471805599453;

double AsDouble(std::int64_t count) { return static_cast<double>(count); }

}  // namespace

ExactTerms PrepareExact(std::span<const double> NormFreq, std::int32_t NAllele, std::int32_t LociTo) {
  ExactTerms terms;

  // Alleles taken in pairs, first members into one partial sum and second
  // members into another, an odd last allele added at the end. The order
  // fixes the last bits of both sums, and through them of every result.
  const auto alleles = static_cast<std::size_t>(NAllele);
  double squaresFirst = 0.0;
  double squaresSecond = 0.0;
  double cubesFirst = 0.0;
  double cubesSecond = 0.0;
  std::size_t i = 0;
  for (; i + 1 < alleles; i += 2) {
    const double p = NormFreq[i];
    const double r = NormFreq[i + 1];
    squaresFirst = squaresFirst + p * p;
    cubesFirst = cubesFirst + p * (p * p);
    squaresSecond = squaresSecond + r * r;
    cubesSecond = cubesSecond + r * (r * r);
  }
  terms.SumSq = squaresFirst + squaresSecond;
  terms.SumCube = cubesFirst + cubesSecond;
  if (i < alleles) {
    const double p = NormFreq[i];
    terms.SumSq = terms.SumSq + p * p;
    terms.SumCube = terms.SumCube + p * (p * p);
  }

  // With all the frequency on one allele Q1 is exactly zero, and ln(0)
  // would turn the N1 = 0 terms into 0 x -inf = NaN.
  const double q1 = (terms.SumSq - terms.SumCube) * 2.0;
  if (q1 > 0.0) {
    terms.LogQ1 = std::log(q1);
    terms.Q1Possible = true;
  }

  // Configuration 2 needs three different alleles. With no more than two
  // alleles above zero Q2 is zero in exact arithmetic but may come out a
  // rounding error either side of it.
  if (NAllele > 2) {
    const double q2 = (1.0 - terms.SumSq * 3.0) + 2.0 * terms.SumCube;
    if (q2 > 0.0) {
      terms.LogQ2 = std::log(q2);
      terms.Q2Possible = true;
    }
  }

  terms.LogQ0 = std::log(terms.SumSq);

  const auto tableSize = static_cast<std::size_t>(std::int64_t{LociTo} + 1);
  terms.LogFact.assign(tableSize, 0.0);
  for (std::size_t k = 1; k < tableSize; ++k)
    terms.LogFact[k] = terms.LogFact[k - 1] + std::log(static_cast<double>(k));
  terms.LogAllExcluded.assign(tableSize, 0.0);
  return terms;
}

double ExactExProb(ExactTerms& terms, std::int32_t NLoci, std::int32_t NAunts) {
  const double* const logFact = terms.LogFact.data();
  double* const logAllExcluded = terms.LogAllExcluded.data();
  // 64-bit counters: the loops must end even at an upper bound of INT32_MAX.
  const std::int64_t loci = NLoci;

  const double aunts = static_cast<double>(NAunts);
  double escape = 1.0;  // 2^-k; halving a power of two is exact
  for (std::int64_t k = 1; k <= loci; ++k) {
    escape = escape * 0.5;
    logAllExcluded[k] = std::log(1.0 - escape) * aunts;
  }

  const double logQ0 = terms.LogQ0;
  const double logQ1 = terms.LogQ1;
  const double logQ2 = terms.LogQ2;
  const std::int64_t lastN1 = terms.Q1Possible ? loci : 0;
  double sum = 0.0;
  for (std::int64_t n1 = 0; n1 <= lastN1; ++n1) {
    const double t1 = ((AsDouble(n1) * logQ1) + logFact[loci]) - logFact[n1];
    const std::int64_t lastN2 = terms.Q2Possible ? loci - n1 : 0;
    for (std::int64_t n2 = 0; n2 <= lastN2; ++n2) {
      const std::int64_t n0 = loci - n1 - n2;
      const double t2 = (((t1 - logFact[n2]) - logFact[n0]) + AsDouble(n2) * logQ2) + AsDouble(n0) * logQ0;
      // The leading part of B2, the same for every K2.
      const double b2Head = logFact[n2] + AsDouble(n2) * kLogHalf;
      for (std::int64_t k1 = 0; k1 <= n1; ++k1) {
        const double b1 = (((logFact[n1] - logFact[k1]) - logFact[n1 - k1]) + AsDouble(k1) * kLogQuarter) +
                          AsDouble(n1 - k1) * kLogThreeQuarters;
        const double b1t2 = b1 + t2;
        const double* const allExcludedFromK1 = logAllExcluded + k1;
        // No candidate locus at all excludes nobody: K1 = K2 = 0 is skipped.
        for (std::int64_t k2 = k1 == 0 ? 1 : 0; k2 <= n2; ++k2) {
          const double b2 = (b2Head - logFact[k2]) - logFact[n2 - k2];
          sum = sum + std::exp((b1t2 + b2) + allExcludedFromK1[k2]);
        }
      }
    }
  }
  return sum;
}

}  // namespace exc
