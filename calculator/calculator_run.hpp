// The whole run of exccalc: parameter file, console table, results file.
#pragma once

#include <cstdio>

#include "common/clock.hpp"

namespace exc {

// Reads the calculator's parameter file (named by the first argument, else
// "Parameter.txt"), prints one console line per pair of a number of loci and
// a number of candidate aunts as soon as it is computed, then writes the
// results file and the closing lines to `out`. Stops by throwing RunStopped
// or ServiceFailure (see common/stop.hpp).
void RunCalculator(int argc, const char* const* argv, std::FILE* out, Clock& clock);

}  // namespace exc
