#include <cstdio>

#include "common/stop.hpp"
#include "simulator/simulator_run.hpp"

int main(int argc, char** argv) {
  exc::Clock clock;
  return exc::RunGuarded(stdout, stderr, "excsim", [&] { exc::RunSimulator(argc, argv, stdout, clock); });
}
