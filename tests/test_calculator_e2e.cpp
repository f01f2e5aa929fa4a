#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace exc::test {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = "       NLoci      NAunts      ExProb\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  if (begin < text.size()) lines.push_back(text.substr(begin));
  return lines;
}

// Runs exccalc without arguments on `parameters` written as Parameter.txt.
ProgramRun RunWithParameters(const TempDir& dir, const std::string& parameters) {
  WriteFile(dir / "Parameter.txt", parameters);
  return RunProgram(EXCCALC_PATH, {}, dir.path());
}

TEST(CalculatorEndToEnd, ReferenceCasesMatchByteForByte) {
  std::vector<fs::path> cases;
  for (const auto& entry : fs::directory_iterator(DataPath("calc"))) cases.push_back(entry.path());
  std::sort(cases.begin(), cases.end());
  ASSERT_FALSE(cases.empty());
  for (const fs::path& source : cases) {
    SCOPED_TRACE(source.filename().string());
    TempDir dir;
    const ProgramRun run = RunWithParameters(dir, ReadFile(source / "Parameter.txt"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(MaskElapsed(run.out), MaskElapsed(ReadFile(source / "console.txt")));
    EXPECT_EQ(ReadFile(dir / "Parameter.DuviZadIru"), ReadFile(source / "Parameter.DuviZadIru"));
    // The results file replaced its temporary file: nothing else is left.
    EXPECT_THAT(Entries(dir.path()), ::testing::ElementsAre("Parameter.DuviZadIru", "Parameter.txt"));
  }
}

TEST(CalculatorEndToEnd, SinglePairGivesOneLineAndOneElement) {
  TempDir dir;
  const ProgramRun run = RunWithParameters(dir, "4\n0.25 0.25 0.25 0.25\n1 1\n1 1\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(MaskElapsed(run.out), kHeader + "           1           1  0.14062500\n" +
                                      "Analysis results written to file Parameter.DuviZadIru\n" +
                                      "Analysis completed. TimeTaken(Seconds) = #########\n");
  EXPECT_EQ(ReadFile(dir / "Parameter.DuviZadIru"), " NLoci           1\r\n     1  0.14062500\r\n");
}

TEST(CalculatorEndToEnd, PairsComeInLociThenAuntsOrder) {
  TempDir dir;
  const ProgramRun run = RunWithParameters(dir, "3 alleles\n0.5 0.3 0.2\n2 3   loci\n1 2   aunts\n");
  ASSERT_EQ(run.status, 0);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0] + "\n", kHeader);
  const char* expectedPairs[] = {"           2           1", "           2           2", "           3           1",
                                 "           3           2"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(lines[1 + i].substr(0, 24), expectedPairs[i]);
  // The results file holds the same four values, one row per number of loci.
  const std::string expectedFile = " NLoci           1           2\r\n     2" + lines[1].substr(24) + lines[2].substr(24) +
                                   "\r\n     3" + lines[3].substr(24) + lines[4].substr(24) + "\r\n";
  EXPECT_EQ(ReadFile(dir / "Parameter.DuviZadIru"), expectedFile);
}

TEST(CalculatorEndToEnd, LargestAuntCountEndsTheLoop) {
  TempDir dir;
  const ProgramRun run = RunWithParameters(dir, "2\n0.5 0.5\n1 2\n2147483647 2147483647\n");
  ASSERT_EQ(run.status, 0);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "           1  2147483647  0.00000000");
  EXPECT_EQ(lines[2], "           2  2147483647  0.00000000");
  EXPECT_EQ(ReadFile(dir / "Parameter.DuviZadIru"),
            " NLoci  2147483647\r\n     1  0.00000000\r\n     2  0.00000000\r\n");
}

TEST(CalculatorEndToEnd, ParameterFileProblemsStopWithMessageAndNoResults) {
  {
    SCOPED_TRACE("missing default file");
    TempDir dir;
    const ProgramRun run = RunProgram(EXCCALC_PATH, {}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Parameter file, Parameter.txt, does not exist!\nProgram stops!\n");
    EXPECT_TRUE(Entries(dir.path()).empty());
  }
  {
    // Read as the calculator's four groups, the simulator's file puts its
    // values in the wrong groups and fails at the loci range.
    SCOPED_TRACE("simulator parameter file");
    TempDir dir;
    WriteFile(dir / "SimParameter.txt",
              "0      Diploid (1) or haplodiploid (0)\n3      NAllele\n0.5 0.3 0.2\n1 5   #Loci [from, to]\n"
              "1, 3   #Aunts [from, to]\n0   Seed\n20000   NRep\n1000   MapLength\n");
    const ProgramRun run = RunProgram(EXCCALC_PATH, {"SimParameter.txt"}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Error reading parameter #Loci [from, to]!\n"
              "There must be 2 positive integers which are the lower and upper limits of #loci.\n"
              "Program aborts.\n");
    EXPECT_THAT(Entries(dir.path()), ::testing::ElementsAre("SimParameter.txt"));
  }
}

TEST(CalculatorEndToEnd, ServiceFailuresEndWithDiagnosticAndStatusTwo) {
  {
    // Refused before anything is allocated or printed.
    SCOPED_TRACE("ranges beyond memory");
    TempDir dir;
    const ProgramRun run = RunWithParameters(dir, "2\n0.5 0.5\n1 2147483647\n1 2147483647\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, ::testing::StartsWith("exccalc: "));
    EXPECT_THAT(Entries(dir.path()), ::testing::ElementsAre("Parameter.txt"));
  }
  {
    // A directory holds the results file's name: found before the table
    // begins.
    SCOPED_TRACE("results file cannot be written");
    TempDir dir;
    fs::create_directory(dir / "Parameter.DuviZadIru");
    const ProgramRun run = RunWithParameters(dir, "2\n0.5 0.5\n1 2\n1 1\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, ::testing::HasSubstr("Parameter.DuviZadIru"));
    EXPECT_TRUE(fs::is_directory(dir / "Parameter.DuviZadIru"));
    EXPECT_THAT(Entries(dir.path()), ::testing::ElementsAre("Parameter.DuviZadIru", "Parameter.txt"));
  }
}

}  // namespace
}  // namespace exc::test
