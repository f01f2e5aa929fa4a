// The whole run of excsim, from the command line to the closing lines.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/clock.hpp"
#include "common/params.hpp"
#include "common/results.hpp"
#include "simulator/family.hpp"

namespace exc {

// Prints the run's console records to `out`. Stops by the checks throw
// RunStopped, failures of the file or memory services ServiceFailure.
void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock);

// Every pair in run order on one stream seeded from v.Seed: its console
// records to `out`, its estimate into `exProb`. Returns the number of
// generator steps the pairs took.
std::int64_t RunPairs(const RunValues& v, FamilyStorage& storage, ResultsMatrix& exProb, std::FILE* out);

}  // namespace exc
