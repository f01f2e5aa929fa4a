#include "simulator/simulator_run.hpp"

#include <string>

#include "common/fields.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "common/storage.hpp"
#include "simulator/block_replicate.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {

namespace {

void Print(std::FILE* out, const std::string& text) { std::fwrite(text.data(), 1, text.size(), out); }

// Runs every pair on the one stream, loci outer and aunts inner; the loops
// count their passes so an upper bound of INT32_MAX ends.
void RunPairs(const RunValues& v, FamilyStorage& storage, ResultsMatrix& exProb, std::FILE* out) {
  const FamilyModel model{v.Diploid, v.MapLength};
  BlockStream stream(v.Seed);
  PoissonCache cache;
  BlockReplicate replicate(model, storage, cache, stream);
  std::string line;
  for (std::int64_t li = 0; li < v.LociRange.Count(); ++li) {
    const auto nLoci = static_cast<std::int32_t>(v.LociRange.from + li);
    for (std::int64_t ai = 0; ai < v.AuntsRange.Count(); ++ai) {
      const auto nAunts = static_cast<std::int32_t>(v.AuntsRange.from + ai);
      line = "Simulating Prb. of Exc. " + std::to_string(nAunts) + " aunts by " + std::to_string(nLoci) + " markers...\n";
      Print(out, line);
      std::fflush(out);
      std::int32_t nExc = 0;
      for (std::int64_t rep = 1; rep <= v.NRep; ++rep) {
        if (rep % 100000 == 0) {
          // No line end: the next progress record or the estimate continues
          // this line.
          line = "\r  Replicate = ";
          AppendIntegerField(line, rep, 12);
          Print(out, line);
          std::fflush(out);
        }
        if (replicate.Run(nLoci, nAunts)) ++nExc;
      }
      const float estimate = static_cast<float>(nExc) / static_cast<float>(v.NRep);
      exProb.At(nLoci, nAunts) = static_cast<double>(estimate);
      line = "  Exclusion Prb = ";
      AppendFixedField(line, static_cast<double>(estimate), 9, 4);
      line.push_back('\n');
      Print(out, line);
      std::fflush(out);
    }
  }
}

}  // namespace

void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock) {
  const std::int32_t start = clock.ClockSeconds();
  const std::string parameterFileName = ChooseParameterFileName(argc, argv, kSimulatorDefaultName);
  RequireParameterFile(parameterFileName);
  const std::string resultsFileName = DeriveResultsFileName(parameterFileName);
  const RunValues v = ReadParameters(Variant::Simulator, parameterFileName);

  StorageBudget budget;
  budget.Add(v.LociRange.to, FamilyStorage::PerLocusBytes(v.Diploid));
  budget.Add(v.NAllele, sizeof(float));
  budget.Add(v.LociRange.Count() * v.AuntsRange.Count(), sizeof(double));
  // The results file is formatted in memory: 12 characters a value, 8 a row.
  budget.Add(v.LociRange.Count() * v.AuntsRange.Count(), 12);
  budget.Add(v.LociRange.Count(), 8);
  budget.Require("the simulation");
  FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
  BuildCumAfe(v.Afe, storage.CumAfe);
  ResultsMatrix exProb(v.LociRange, v.AuntsRange);

  RunPairs(v, storage, exProb, out);
  WriteResultsFile(resultsFileName, exProb);
  PrintClosingLines(out, resultsFileName, clock, start);
}

}  // namespace exc
