#include <cstdio>

#include "common/process.hpp"
#include "common/stop.hpp"
#include "simulator/simulator_run.hpp"

int main(int argc, char** argv) {
  if (!exc::PrepareProcess("excsim")) return exc::kExitServiceFailure;
  exc::Clock clock;
  return exc::RunGuarded(stdout, stderr, "excsim", [&] { exc::RunSimulator(argc, argv, stdout, clock); });
}
