#include <cstdio>

#include "calculator/calculator_run.hpp"
#include "common/process.hpp"
#include "common/stop.hpp"

int main(int argc, char** argv) {
  if (!exc::PrepareProcess("exccalc")) return exc::kExitServiceFailure;
  exc::Clock clock;
  return exc::RunGuarded(stdout, stderr, "exccalc", [&] { exc::RunCalculator(argc, argv, stdout, clock); });
}
