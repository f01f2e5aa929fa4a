// The whole run of excsim, from the command line to the closing lines.
#pragma once

#include <cstdio>

#include "common/clock.hpp"

namespace exc {

// Prints the run's console records to `out`. Stops by the checks throw
// RunStopped, failures of the file or memory services ServiceFailure.
void RunSimulator(int argc, const char* const* argv, std::FILE* out, Clock& clock);

}  // namespace exc
