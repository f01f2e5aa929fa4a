// Cost of a whole simulator run per generator step, against the bare serial
// generator step measured in the same process.
//
// For each workload (parameter files; W1..W4 of bench/workloads by default)
// it times excsim's whole run in a scratch directory (best of a few rounds
// over all workloads, as other work on the machine only ever slows a run
// down), takes the number of generator steps from the block stream's
// position after the simulator's own pair loop has run the same pairs once
// more, and times the serial step.
//
//   workload_cost [--reps N] [--runs N] [--check] [workload.txt ...]
//
// --reps N overrides NRep of every workload (for a quicker look); --runs N
// sets the number of rounds (3); --check also runs the pair loop with the
// draw-by-draw model on a counting source, whose steps and records must
// agree.
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

// The simulator's pair loop over the workload's pairs with `replicate`, its
// console records to `console`; the records, for comparison.
template <class Replicate>
std::string PairRecords(const exc::RunValues& v, Replicate& replicate, exc::ResultsMatrix& exProb, const fs::path& console) {
  std::FILE* out = std::fopen(console.c_str(), "wb");
  exc::RunPairs(v, replicate, exProb, out);
  std::fclose(out);
  std::ifstream in(console, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
  const exc::RunValues& v = w.v;
  const exc::FamilyModel model{v.Diploid, v.MapLength};
  exc::FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
  exc::BuildCumAfe(v.Afe, storage.CumAfe);
  exc::ResultsMatrix exProb(v.LociRange, v.AuntsRange);
  exc::BlockStream stream(v.Seed);
  exc::PoissonCache cache;
  exc::BlockReplicate replicate(model, storage, cache, stream);
  const std::string records = PairRecords(v, replicate, exProb, w.dir / "pairs.txt");
  const std::int64_t steps = stream.Position();

  // The timed run printed the same records, then its closing lines.
  if (ReadFile(w.dir / "console.txt").rfind(records, 0) != 0) {
    std::fprintf(stderr, "%s: the pair loop disagrees with the run\n", w.file.c_str());
    return 1;
  }
  if (options.check) {
    exc::CountingStream counting{exc::UniformState{v.Seed}};
    exc::PoissonCache modelCache;
    exc::DrawByDrawReplicate<exc::CountingStream> drawByDraw(model, storage, modelCache, counting);
    if (PairRecords(v, drawByDraw, exProb, w.dir / "model.txt") != records || counting.steps != steps) {
      std::fprintf(stderr, "%s: the draw-by-draw model disagrees with the block replicate\n", w.file.c_str());
      return 1;
    }
  }
  const double serialNs = SerialStepNs(v.Seed);

  const double replicates = static_cast<double>(v.LociRange.Count() * v.AuntsRange.Count()) * v.NRep;
  const double runNs = w.bestSeconds * 1e9 / static_cast<double>(steps);
  std::printf("%-6s %10.0f %12.1f %10.3f %10.3f %8.3f   %.3f s\n", w.file.stem().c_str(), replicates / w.bestSeconds,
              static_cast<double>(steps) / replicates, runNs, serialNs, runNs / serialNs, w.bestSeconds);
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
