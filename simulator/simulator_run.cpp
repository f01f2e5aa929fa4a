#include "simulator/simulator_run.hpp"

#include <memory>
#include <string>

#include "common/params.hpp"
#include "common/results.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "simulator/block_replicate.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {

template void RunPairs<BlockReplicate>(const RunValues& v, BlockReplicate& replicate, ResultsMatrix& exProb,
                                       std::FILE* out);

void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock) {
  const std::int32_t start = clock.ClockSeconds();
  const std::string parameterFileName = ChooseParameterFileName(argc, argv, kSimulatorDefaultName);
  RequireParameterFile(parameterFileName);
  const std::string resultsFileName = DeriveResultsFileName(parameterFileName);
  const RunValues v = ReadParameters(Variant::Simulator, parameterFileName);

  // Everything the run holds is taken before the first pair.
  StorageBudget budget;
  budget.Add(v.LociRange.to, FamilyStorage::PerLocusBytes(v.Diploid));
  budget.Add(v.NAllele, sizeof(float));  // CumAfe
  // The replicate's own tables: the allele look-up and the log-gamma values.
  budget.Add(1, AlleleTable::StorageBytes(v.NAllele));
  budget.Add(1, LogGammaWholeTable::kStorageBytes);
  budget.Add(1, sizeof(BlockStream) + sizeof(BlockReplicate));
  AddResultsStorage(budget, v.LociRange, v.AuntsRange);
  budget.Require("the simulation");
  FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
  BuildCumAfe(v.Afe, storage.CumAfe);
  ResultsMatrix exProb(v.LociRange, v.AuntsRange);
  // Made now, so that a results file that cannot be written ends the run
  // before the first pair, not after the last.
  ResultsFile resultsFile(resultsFileName);

  // One stream for the whole run, seeded once. The stream's blocks and the
  // replicate's buffer live on the heap, not on the stack: with them the
  // run would need five times the stack, too much for a small stack limit.
  const auto stream = std::make_unique<BlockStream>(v.Seed);
  PoissonCache cache;
  const FamilyModel model{v.Diploid, v.MapLength};
  const auto replicate = std::make_unique<BlockReplicate>(model, storage, cache, *stream);
  RunPairs(v, *replicate, exProb, out);
  WriteResultsFile(resultsFile, exProb);
  PrintClosingLines(out, resultsFileName, clock, start);
}

}  // namespace exc
