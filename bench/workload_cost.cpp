// Cost of a whole simulator run per generator step, against the bare serial
// generator step measured in the same process.
//
// For each workload (parameter files; W1..W4 of bench/workloads by default)
// it runs excsim's whole run in a scratch directory (best of a few rounds
// over all workloads, as other work on the machine only ever slows a run
// down), takes the number of generator steps of the same run from the block
// stream's position in a replay of the pair loop, and times the serial step.
//
//   workload_cost [--reps N] [--runs N] [--check] [workload.txt ...]
//
// --reps N overrides NRep of every workload (for a quicker look); --runs N
// sets the number of rounds (3); --check also counts the steps with a
// counting source on the draw-by-draw path, which must agree.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/clock.hpp"
#include "common/params.hpp"
#include "common/stop.hpp"
#include "simulator/block_replicate.hpp"
#include "simulator/draw_by_draw_replicate.hpp"
#include "simulator/simulator_run.hpp"
#include "simulator/uniform.hpp"
#include "simulator/uniform_block.hpp"

namespace {

using Seconds = std::chrono::duration<double>;
namespace fs = std::filesystem;

struct Counted {
  std::int64_t steps = 0;
  std::int64_t replicates = 0;
  std::vector<float> estimates;  // per pair, in run order
};

std::int64_t StepsOf(const exc::CountingStream& source) { return source.steps; }
std::int64_t StepsOf(const exc::BlockStream& source) { return source.Position(); }

// The run's pair loop again: same draws, same order.
template <class Source>
Counted CountSteps(const exc::RunValues& v, Source& source) {
  exc::FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
  exc::BuildCumAfe(v.Afe, storage.CumAfe);
  const exc::FamilyModel model{v.Diploid, v.MapLength};
  exc::PoissonCache cache;
  std::conditional_t<std::is_same_v<Source, exc::BlockStream>, exc::BlockReplicate, exc::DrawByDrawReplicate<Source>>
      replicate(model, storage, cache, source);
  Counted c;
  for (std::int64_t li = 0; li < v.LociRange.Count(); ++li) {
    const auto nLoci = static_cast<std::int32_t>(v.LociRange.from + li);
    for (std::int64_t ai = 0; ai < v.AuntsRange.Count(); ++ai) {
      const auto nAunts = static_cast<std::int32_t>(v.AuntsRange.from + ai);
      std::int32_t nExc = 0;
      for (std::int32_t rep = 0; rep < v.NRep; ++rep) nExc += replicate.Run(nLoci, nAunts) ? 1 : 0;
      c.estimates.push_back(static_cast<float>(nExc) / static_cast<float>(v.NRep));
      c.replicates += v.NRep;
    }
  }
  c.steps = StepsOf(source);
  return c;
}

// ns per step of the straightforward serial step; the best of a few rounds.
double SerialStepNs(std::int32_t seed) {
  constexpr std::int64_t kSteps = 40'000'000;
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    exc::UniformState state;
    state.Seed = seed;
    std::int32_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < kSteps; ++i) sink ^= state.Step();
    const double s = Seconds(std::chrono::steady_clock::now() - start).count();
    // Keeps the chain alive without a store per step.
    if (sink == 42) std::puts("");
    best = std::min(best, s);
  }
  return best * 1e9 / static_cast<double>(kSteps);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The workload's text with NRep replaced (the group is the seventh line).
std::string WithReps(const std::string& text, long reps) {
  std::istringstream in(text);
  std::string line;
  std::string out;
  for (int n = 1; std::getline(in, line); ++n) out += (n == 7 ? std::to_string(reps) + "   NRep" : line) + "\n";
  return out;
}

struct Options {
  long reps = 0;
  int runs = 3;
  bool check = false;
};

// One workload in its scratch directory.
struct Workload {
  fs::path file;
  fs::path dir;
  std::string param;
  exc::RunValues v;
  double bestSeconds = 1e300;
};

Workload Prepare(const fs::path& file, long reps, int index) {
  Workload w;
  w.file = file;
  w.dir = fs::temp_directory_path() / ("workload_cost." + std::to_string(::getpid()) + "." + std::to_string(index));
  fs::create_directories(w.dir);
  w.param = (w.dir / "SimParameter.txt").string();
  std::string text = ReadFile(file);
  if (reps > 0) text = WithReps(text, reps);
  std::ofstream(w.param, std::ios::binary) << text;
  w.v = exc::ReadParameters(exc::Variant::Simulator, w.param);
  return w;
}

// The whole run once, console records to a scratch file.
void TimeRun(Workload& w) {
  std::FILE* console = std::fopen((w.dir / "console.txt").c_str(), "wb");
  const char* argv[] = {"excsim", w.param.c_str(), nullptr};
  exc::Clock clock;
  const auto start = std::chrono::steady_clock::now();
  exc::RunSimulator(2, argv, console, clock);
  w.bestSeconds = std::min(w.bestSeconds, Seconds(std::chrono::steady_clock::now() - start).count());
  std::fclose(console);
}

int Report(const Workload& w, const Options& options) {
  exc::BlockStream block(w.v.Seed);
  const Counted counted = CountSteps(w.v, block);
  if (options.check) {
    exc::CountingStream counting{exc::UniformState{w.v.Seed}};
    const Counted plain = CountSteps(w.v, counting);
    if (plain.steps != counted.steps || plain.estimates != counted.estimates) {
      std::fprintf(stderr, "%s: the counting source disagrees with the block stream\n", w.file.c_str());
      return 1;
    }
  }
  const double serialNs = SerialStepNs(w.v.Seed);

  // The replay must have made the very same run.
  const std::string consoleText = ReadFile(w.dir / "console.txt");
  std::string expected;
  for (float e : counted.estimates) {
    char field[32];
    std::snprintf(field, sizeof field, "  Exclusion Prb = %9.4f\n", static_cast<double>(e));
    expected += field;
  }
  std::string printed;
  for (std::size_t at = consoleText.find("  Exclusion Prb = "); at != std::string::npos;
       at = consoleText.find("  Exclusion Prb = ", at + 1))
    printed += consoleText.substr(at, consoleText.find('\n', at) - at + 1);
  if (printed != expected) {
    std::fprintf(stderr, "%s: the replay disagrees with the run\n", w.file.c_str());
    return 1;
  }

  const double steps = static_cast<double>(counted.steps);
  const double runNs = w.bestSeconds * 1e9 / steps;
  std::printf("%-6s %10.0f %12.1f %10.3f %10.3f %8.3f   %.3f s\n", w.file.stem().c_str(),
              static_cast<double>(counted.replicates) / w.bestSeconds, steps / static_cast<double>(counted.replicates),
              runNs, serialNs, runNs / serialNs, w.bestSeconds);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<fs::path> workloads;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--reps" && i + 1 < argc) {
      options.reps = std::atol(argv[++i]);
    } else if (arg == "--runs" && i + 1 < argc) {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--check") {
      options.check = true;
    } else {
      workloads.emplace_back(arg);
    }
  }
  if (workloads.empty())
    for (const char* name : {"W1", "W2", "W3", "W4"})
      workloads.push_back(fs::path(EXC_BENCH_WORKLOAD_DIR) / (std::string(name) + ".txt"));

  std::printf("%-6s %10s %12s %10s %10s %8s   %s\n", "load", "reps/s", "steps/rep", "run ns/st", "step ns", "ratio",
              "run time");
  int status = 0;
  try {
    std::vector<Workload> prepared;
    for (const fs::path& file : workloads) {
      if (!fs::exists(file)) {
        std::fprintf(stderr, "%s: no such workload file\n", file.c_str());
        return 1;
      }
      prepared.push_back(Prepare(file, options.reps, static_cast<int>(prepared.size())));
    }
    // Rounds over all workloads, so that a busy spell of the machine does
    // not fall on every run of one workload.
    for (int round = 0; round < options.runs; ++round)
      for (Workload& w : prepared) TimeRun(w);
    for (const Workload& w : prepared) {
      status |= Report(w, options);
      fs::remove_all(w.dir);
    }
  } catch (const exc::RunStopped& stop) {
    std::fprintf(stderr, "%s", stop.text.c_str());
    status = 1;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident set of this process: %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return status;
}
