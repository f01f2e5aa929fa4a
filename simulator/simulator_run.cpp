#include "simulator/simulator_run.hpp"

#include <charconv>
#include <string>

#include "common/fields.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "simulator/block_replicate.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {

namespace {

void AppendDigits(std::string& line, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  line.append(digits, end);
}

}  // namespace

std::int64_t RunPairs(const RunValues& v, FamilyStorage& storage, ResultsMatrix& exProb, std::FILE* out) {
  const FamilyModel model{v.Diploid, v.MapLength};
  BlockStream stream(v.Seed);
  PoissonCache cache;
  BlockReplicate replicate(model, storage, cache, stream);
  // Every record is put together in this one buffer: no pair allocates.
  std::string line;
  line.reserve(128);
  for (std::int64_t li = 0; li < v.LociRange.Count(); ++li) {
    const auto nLoci = static_cast<std::int32_t>(v.LociRange.from + li);
    for (std::int64_t ai = 0; ai < v.AuntsRange.Count(); ++ai) {
      const auto nAunts = static_cast<std::int32_t>(v.AuntsRange.from + ai);
      // " aunts by " for one aunt too: the system's own text.
      line.assign("Simulating Prb. of Exc. ");
      AppendDigits(line, nAunts);
      line.append(" aunts by ");
      AppendDigits(line, nLoci);
      line.append(" markers...\n");
      WriteConsole(out, line);
      std::int32_t nExc = 0;
      for (std::int64_t rep = 1; rep <= v.NRep; ++rep) {
        if (rep % 100000 == 0) {
          // No line end: the next progress record or the estimate continues
          // this line.
          line.assign("\r  Replicate = ");
          AppendIntegerField(line, rep, 12);
          WriteConsole(out, line);
        }
        if (replicate.Run(nLoci, nAunts)) ++nExc;
      }
      const float estimate = static_cast<float>(nExc) / static_cast<float>(v.NRep);
      exProb.At(nLoci, nAunts) = static_cast<double>(estimate);
      line.assign("  Exclusion Prb = ");
      AppendFixedField(line, static_cast<double>(estimate), 9, 4);
      line.push_back('\n');
      WriteConsole(out, line);
    }
  }
  return stream.Position();
}

void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock) {
  const std::int32_t start = clock.ClockSeconds();
  const std::string parameterFileName = ChooseParameterFileName(argc, argv, kSimulatorDefaultName);
  RequireParameterFile(parameterFileName);
  const std::string resultsFileName = DeriveResultsFileName(parameterFileName);
  const RunValues v = ReadParameters(Variant::Simulator, parameterFileName);

  // Everything the run holds is taken before the first pair.
  StorageBudget budget;
  budget.Add(v.LociRange.to, FamilyStorage::PerLocusBytes(v.Diploid));
  budget.Add(v.NAllele, sizeof(float));
  AddResultsStorage(budget, v.LociRange, v.AuntsRange);
  budget.Require("the simulation");
  FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
  BuildCumAfe(v.Afe, storage.CumAfe);
  ResultsMatrix exProb(v.LociRange, v.AuntsRange);
  // Made now, so that a results file that cannot be written ends the run
  // before the first pair, not after the last.
  ResultsFile resultsFile(resultsFileName);

  RunPairs(v, storage, exProb, out);
  WriteResultsFile(resultsFile, exProb);
  PrintClosingLines(out, resultsFileName, clock, start);
}

}  // namespace exc
