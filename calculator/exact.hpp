// The exact probability that every candidate aunt is excluded, for a
// haplodiploid species with independently assorting loci that share one set
// of allele frequencies.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace exc {

// Everything about the frequencies that the pairs share, built once per run.
struct ExactTerms {
  double SumSq = 0.0;    // sum of squared frequencies: Q0, grandmother homozygous
  double SumCube = 0.0;  // sum of cubed frequencies
  double LogQ0 = 0.0;    // ln(Q0)
  double LogQ1 = 0.0;    // ln(Q1) when Q1Possible, else 0.0
  double LogQ2 = 0.0;    // ln(Q2) when Q2Possible, else 0.0
  // A configuration whose probability is not above zero contributes no
  // terms and never has ln applied to it. Q1 is zero when a single allele
  // holds all the frequency.
  bool Q1Possible = false;
  bool Q2Possible = false;
  std::vector<double> LogFact;  // [k] = ln(k!) for k = 0..LociTo, as a running sum of ln(k)
  // Scratch for the pair being computed: [k] = NAunts x ln(1 - 2^-k) for
  // k = 1..NLoci; slot 0 is never read.
  std::vector<double> LogAllExcluded;
};

// `NormFreq` holds the NAllele normalised frequencies; `LociTo` is the
// largest number of loci any pair will ask for.
ExactTerms PrepareExact(std::span<const double> NormFreq, std::int32_t NAllele, std::int32_t LociTo);

// The probability for one pair, 0 <= NLoci <= LociTo and NAunts >= 1.
// Rewrites LogAllExcluded[1..NLoci] and nothing else, so the result does not
// depend on which pairs were computed before.
double ExactExProb(ExactTerms& terms, std::int32_t NLoci, std::int32_t NAunts);

}  // namespace exc
