#include "calculator/calculator_run.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "calculator/exact.hpp"
#include "common/fields.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "common/storage.hpp"

namespace exc {

namespace {

constexpr int kFieldWidth = 12;
constexpr int kDecimals = 8;

// Every byte the run will hold at once, summed before anything is allocated
// so that a huge range ends with a diagnostic instead of a crash.
void RequireStorage(const RunValues& values) {
  const std::int64_t loci = values.LociRange.Count();
  const std::int64_t aunts = values.AuntsRange.Count();
  const std::int64_t tableSize = std::int64_t{values.LociRange.to} + 1;
  StorageBudget budget;
  budget.Add(values.NAllele, sizeof(double));   // NormFreq
  budget.Add(loci * aunts, sizeof(double));     // ExProb
  budget.Add(tableSize, sizeof(double));        // LogFact
  budget.Add(tableSize, sizeof(double));        // LogAllExcluded
  // The results file is formatted in memory before it is written: a
  // 6-character label or number of loci, 12 characters per number of aunts
  // and CR LF, for the header and for every number of loci.
  budget.Add(loci + 1, 8 + kFieldWidth * aunts);
  budget.Require("the exact calculation");
}

void WriteLine(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace

void RunCalculator(int argc, const char* const* argv, std::FILE* out, Clock& clock) {
  const std::int32_t startReading = clock.ClockSeconds();
  const std::string ParameterFileName = ChooseParameterFileName(argc, argv, kCalculatorDefaultName);
  RequireParameterFile(ParameterFileName);
  const std::string ResultsFileName = DeriveResultsFileName(ParameterFileName);
  const RunValues values = ReadParameters(Variant::Calculator, ParameterFileName);

  RequireStorage(values);
  const std::vector<double> NormFreq(values.Afe.begin(), values.Afe.end());
  ResultsMatrix ExProb(values.LociRange, values.AuntsRange);
  ExactTerms terms = PrepareExact(NormFreq, values.NAllele, values.LociRange.to);

  // One buffer for every console line, so that no pair allocates.
  std::string line;
  line.reserve(3 * kFieldWidth + 1);
  line.append(7, ' ').append("NLoci").append(6, ' ').append("NAunts").append(6, ' ').append("ExProb\n");
  WriteLine(out, line);

  // Counted passes, so that a range ending at INT32_MAX ends there.
  const std::int64_t lociPasses = values.LociRange.Count();
  const std::int64_t auntsPasses = values.AuntsRange.Count();
  for (std::int64_t i = 0; i < lociPasses; ++i) {
    const auto NLoci = static_cast<std::int32_t>(values.LociRange.from + i);
    for (std::int64_t j = 0; j < auntsPasses; ++j) {
      const auto NAunts = static_cast<std::int32_t>(values.AuntsRange.from + j);
      const double probability = ExactExProb(terms, NLoci, NAunts);
      ExProb.At(NLoci, NAunts) = probability;
      line.clear();
      AppendIntegerField(line, NLoci, kFieldWidth);
      AppendIntegerField(line, NAunts, kFieldWidth);
      AppendFixedField(line, probability, kFieldWidth, kDecimals);
      line.push_back('\n');
      // Shown at once: the pairs with the most loci can take long, and this
      // line is the only sign of progress.
      WriteLine(out, line);
    }
  }

  WriteResultsFile(ResultsFileName, ExProb);
  PrintClosingLines(out, ResultsFileName, clock, startReading);
}

}  // namespace exc
