#include "calculator/calculator_run.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "calculator/exact.hpp"
#include "common/fields.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"

namespace exc {

namespace {

constexpr int kFieldWidth = 12;
constexpr int kDecimals = 8;

// Every byte the run will hold, summed before anything is allocated so that
// a huge range ends with a diagnostic instead of a crash.
void RequireStorage(const RunValues& values) {
  const std::int64_t tableSize = std::int64_t{values.LociRange.to} + 1;
  StorageBudget budget;
  budget.Add(values.NAllele, sizeof(double));  // NormFreq
  budget.Add(tableSize, sizeof(double));       // LogFact
  budget.Add(tableSize, sizeof(double));       // LogAllExcluded
  AddResultsStorage(budget, values.LociRange, values.AuntsRange);
  budget.Require("the exact calculation");
}

}  // namespace

void RunCalculator(int argc, const char* const* argv, std::FILE* out, Clock& clock) {
  const std::int32_t startReading = clock.ClockSeconds();
  const std::string parameterFileName = ChooseParameterFileName(argc, argv, kCalculatorDefaultName);
  RequireParameterFile(parameterFileName);
  const std::string resultsFileName = DeriveResultsFileName(parameterFileName);
  const RunValues values = ReadParameters(Variant::Calculator, parameterFileName);

  // Everything the run holds is taken before the first pair.
  RequireStorage(values);
  const std::vector<double> normFreq(values.Afe.begin(), values.Afe.end());
  ResultsMatrix exProb(values.LociRange, values.AuntsRange);
  ExactTerms terms = PrepareExact(normFreq, values.NAllele, values.LociRange.to);
  // Made now, so that a results file that cannot be written ends the run
  // before the first pair, not after the last.
  ResultsFile resultsFile(resultsFileName);

  // One buffer for every console line, so that no pair allocates.
  std::string line;
  line.reserve(3 * kFieldWidth + 1);
  line.append(7, ' ').append("NLoci").append(6, ' ').append("NAunts").append(6, ' ').append("ExProb\n");
  WriteConsole(out, line);

  // Counted passes, so that a range ending at INT32_MAX ends there.
  const std::int64_t lociPasses = values.LociRange.Count();
  const std::int64_t auntsPasses = values.AuntsRange.Count();
  for (std::int64_t i = 0; i < lociPasses; ++i) {
    const auto nLoci = static_cast<std::int32_t>(values.LociRange.from + i);
    for (std::int64_t j = 0; j < auntsPasses; ++j) {
      const auto nAunts = static_cast<std::int32_t>(values.AuntsRange.from + j);
      const double probability = ExactExProb(terms, nLoci, nAunts);
      exProb.At(nLoci, nAunts) = probability;
      line.clear();
      AppendIntegerField(line, nLoci, kFieldWidth);
      AppendIntegerField(line, nAunts, kFieldWidth);
      AppendFixedField(line, probability, kFieldWidth, kDecimals);
      line.push_back('\n');
      // Shown at once: the pairs with the most loci can take long, and this
      // line is the only sign of progress.
      WriteConsole(out, line);
    }
  }

  WriteResultsFile(resultsFile, exProb);
  PrintClosingLines(out, resultsFileName, clock, startReading);
}

}  // namespace exc
