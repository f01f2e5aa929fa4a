// The whole run of excsim, from the command line to the closing lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/clock.hpp"
#include "common/fields.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "common/stop.hpp"

namespace exc {

// Prints the run's console records to `out`. Stops by the checks throw
// RunStopped, failures of the file or memory services ServiceFailure.
void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock);

// The pairs of a run in their order, loci outer and aunts inner, NRep
// replicates of `replicate` each: the console records to `out`, each pair's
// estimate into `exProb`. The program runs it with the block replicate; the
// benchmarks run it as it stands, and with the draw-by-draw model to check.
template <class Replicate>
void RunPairs(const RunValues& v, Replicate& replicate, ResultsMatrix& exProb, std::FILE* out) {
  // Every record is put together in this one buffer: no pair allocates.
  std::string line;
  line.reserve(128);
  // Counted passes, so that a range ending at INT32_MAX ends there.
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
}

// The program's own instance, compiled once with the run: a program that
// also runs the pairs (the benchmarks) uses this very code, not an instance
// of its own that the linker might prefer, placed and inlined otherwise.
class BlockReplicate;
extern template void RunPairs<BlockReplicate>(const RunValues& v, BlockReplicate& replicate, ResultsMatrix& exProb,
                                              std::FILE* out);

}  // namespace exc
