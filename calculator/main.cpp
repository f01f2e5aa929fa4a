#include <cstdio>

#include "calculator/calculator_run.hpp"
#include "common/process.hpp"
#include "common/stop.hpp"

int main(int argc, char** argv) {
  exc::PrepareProcess("exccalc");
  exc::Clock clock;
  return exc::RunGuarded(stdout, stderr, "exccalc", [&] { exc::RunCalculator(argc, argv, stdout, clock); });
}
