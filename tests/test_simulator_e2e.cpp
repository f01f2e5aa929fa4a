// excsim run as a user runs it: in a directory holding its parameter file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "calculator/exact.hpp"
#include "e2e_support.hpp"

namespace exc {
namespace {

namespace fs = std::filesystem;
using test::DataPath;
using test::MaskElapsed;
using test::ReadFile;
using test::RunProgram;
using test::TempDir;
using test::WriteFile;

std::string SimFile(int diploid, const std::string& afe, const std::string& loci, const std::string& aunts, int seed,
                    int nRep, const std::string& mapLength) {
  std::ostringstream text;
  text << diploid << "\n" << std::count(afe.begin(), afe.end(), ' ') + 1 << "\n" << afe << "\n" << loci << "\n"
       << aunts << "\n" << seed << "\n" << nRep << "\n" << mapLength << "\n";
  return text.str();
}

struct SimRun {
  test::ProgramRun run;
  std::string results;  // empty when no results file was written
};

SimRun RunSim(const TempDir& dir, const std::string& parameters, std::vector<std::string> args = {}) {
  WriteFile(dir / "SimParameter.txt", parameters);
  SimRun sim{RunProgram(EXCSIM_PATH, std::move(args), dir.path()), ""};
  if (fs::exists(dir / "SimParameter.DuviZadIru")) sim.results = ReadFile(dir / "SimParameter.DuviZadIru");
  return sim;
}

std::vector<std::string> PairRecords(const std::string& console) {
  std::vector<std::string> records;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Simulating", 0) == 0) records.push_back(line);
  return records;
}

TEST(SimulatorEndToEnd, ReferenceRunsByteForByte) {
  for (const auto& entry : fs::directory_iterator(DataPath("sim"))) {
    SCOPED_TRACE(entry.path().filename().string());
    TempDir dir;
    fs::copy_file(entry.path() / "SimParameter.txt", dir / "SimParameter.txt");
    const test::ProgramRun run = RunProgram(EXCSIM_PATH, {}, dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(MaskElapsed(run.out), MaskElapsed(ReadFile(entry.path() / "console.txt")));
    EXPECT_EQ(ReadFile(dir / "SimParameter.DuviZadIru"), ReadFile(entry.path() / "SimParameter.DuviZadIru"));
  }
}

TEST(SimulatorEndToEnd, PairOrderAndSinglePair) {
  TempDir dir;
  SimRun sim = RunSim(dir, SimFile(1, "0.25 0.25 0.25 0.25", "2 3", "1 2", 3, 50, "999"));
  ASSERT_EQ(sim.run.status, 0);
  EXPECT_THAT(PairRecords(sim.run.out),
              ::testing::ElementsAre("Simulating Prb. of Exc. 1 aunts by 2 markers...",
                                     "Simulating Prb. of Exc. 2 aunts by 2 markers...",
                                     "Simulating Prb. of Exc. 1 aunts by 3 markers...",
                                     "Simulating Prb. of Exc. 2 aunts by 3 markers..."));
  EXPECT_THAT(sim.results, ::testing::StartsWith(" NLoci           1           2\r\n     2  0."));

  sim = RunSim(dir, SimFile(0, "0.5 0.5", "7 7", "4 4", 3, 10, "999"));
  ASSERT_EQ(sim.run.status, 0);
  EXPECT_EQ(PairRecords(sim.run.out).size(), 1u);
  EXPECT_EQ(sim.results.size(), 2 * 20u);
}

TEST(SimulatorEndToEnd, ProgressRecords) {
  TempDir dir;
  // Haplodiploid with a single possible allele: no locus segregates, every
  // replicate fails at once, and the estimate is 0.
  SimRun sim = RunSim(dir, SimFile(0, "1.0 0.0", "1 1", "1 1", 9, 99999, "999"));
  EXPECT_EQ(MaskElapsed(sim.run.out),
            "Simulating Prb. of Exc. 1 aunts by 1 markers...\n"
            "  Exclusion Prb =    0.0000\n"
            "Analysis results written to file SimParameter.DuviZadIru\n"
            "Analysis completed. TimeTaken(Seconds) = #########\n");
  EXPECT_EQ(sim.results, " NLoci           1\r\n     1  0.00000000\r\n");

  // One progress record, before the last replicate; the estimate continues
  // its line.
  sim = RunSim(dir, SimFile(0, "1.0 0.0", "1 2", "1 1", 9, 100000, "999"));
  EXPECT_THAT(sim.run.out, ::testing::StartsWith("Simulating Prb. of Exc. 1 aunts by 1 markers...\n"
                                                 "\r  Replicate =       100000  Exclusion Prb =    0.0000\n"
                                                 "Simulating Prb. of Exc. 1 aunts by 2 markers...\n"
                                                 "\r  Replicate =       100000  Exclusion Prb =    0.0000\n"
                                                 "Analysis results written to file SimParameter.DuviZadIru\n"));
}

TEST(SimulatorEndToEnd, EstimateIsASinglePrecisionQuotient) {
  TempDir dir;
  // With this seed one replicate in three succeeds: the file holds the float
  // nearest to 1/3, not the double.
  SimRun sim = RunSim(dir, SimFile(0, "0.25 0.25 0.25 0.25", "3 3", "1 1", 1, 3, "999"));
  EXPECT_THAT(sim.run.out, ::testing::HasSubstr("  Exclusion Prb =    0.3333\n"));
  EXPECT_EQ(sim.results, " NLoci           1\r\n     3  0.33333334\r\n");
  // And with this one both replicates succeed.
  sim = RunSim(dir, SimFile(0, "0.25 0.25 0.25 0.25", "3 3", "1 1", 18, 2, "999"));
  EXPECT_THAT(sim.run.out, ::testing::HasSubstr("  Exclusion Prb =    1.0000\n"));
  EXPECT_EQ(sim.results, " NLoci           1\r\n     3  1.00000000\r\n");
}

TEST(SimulatorEndToEnd, StopsLeaveNoResultsFile) {
  TempDir dir;
  test::ProgramRun run = RunProgram(EXCSIM_PATH, {}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Parameter file, SimParameter.txt, does not exist!\nProgram stops!\n");

  SimRun sim = RunSim(dir, SimFile(1, "0.25 0.25 0.25 0.25", "3 3", "1 1", 1, 0, "999"));
  EXPECT_EQ(sim.run.status, 1);
  EXPECT_EQ(sim.run.out, "Numberr of replicates must be > 0!\n");
  EXPECT_EQ(sim.results, "");

  // The argument names the file; blanks around it are dropped.
  sim = RunSim(dir, SimFile(1, "0.25 0.25 0.25 0.25", "3 3", "1 1", 1, 5, "999"), {"  SimParameter.txt  "});
  EXPECT_EQ(sim.run.status, 0);
  EXPECT_NE(sim.results, "");
}

// With free recombination in a haplodiploid species each candidate locus
// excludes an aunt with probability 1/2 independently, so the estimates must
// settle on the exact values.
TEST(SimulatorEndToEnd, HaplodiploidEstimatesMatchExactValues) {
  constexpr int kReplicates = 200000;
  const std::vector<double> afe = {0.5, 0.3, 0.2};
  TempDir dir;
  SimRun sim = RunSim(dir, SimFile(0, "0.5 0.3 0.2", "1 4", "1 3", 2024, kReplicates, "999"));
  ASSERT_EQ(sim.run.status, 0);
  ExactTerms terms = PrepareExact(afe, 3, 4);
  std::istringstream rows(sim.results);
  std::string header;
  std::getline(rows, header);
  for (int nLoci = 1; nLoci <= 4; ++nLoci) {
    int label = 0;
    rows >> label;
    ASSERT_EQ(label, nLoci);
    for (int nAunts = 1; nAunts <= 3; ++nAunts) {
      double estimate = 0.0;
      rows >> estimate;
      const double exact = ExactExProb(terms, nLoci, nAunts);
      const double standardError = std::sqrt(exact * (1.0 - exact) / kReplicates);
      EXPECT_NEAR(estimate, exact, 5.0 * standardError) << nLoci << " loci, " << nAunts << " aunts";
    }
  }
}

}  // namespace
}  // namespace exc
