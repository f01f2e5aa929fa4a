#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/params.hpp"
#include "common/stop.hpp"
#include "e2e_support.hpp"
#include "fuzz/params_property.hpp"

namespace exc {
namespace {

using Lines = std::vector<std::string>;
using Edits = std::vector<std::pair<std::size_t, std::string>>;
using Rows = std::vector<std::pair<Edits, std::string>>;

RunValues Read(Variant variant, std::string text) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fmemopen(text.data(), text.size(), "r"), std::fclose);
  if (!file) throw std::runtime_error("fmemopen failed");
  return ReadParameters(variant, file.get(), "memory");
}

// The console text of the stop, or "passed" when the values were accepted.
std::string Outcome(Variant variant, std::string text) {
  try {
    Read(variant, std::move(text));
  } catch (const RunStopped& stop) {
    return stop.text;
  }
  return "passed";
}

const Lines kSimLines = {"1", "4", "0.25 0.25 0.25 0.25", "1 3", "1 2", "5", "10", "1"};
const Lines kCalcLines(kSimLines.begin() + 1, kSimLines.begin() + 5);

std::string Join(const Lines& lines, std::size_t count, const char* end = "\n") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += lines[i] + end;
  return text;
}

// A valid file with some lines replaced, counted from 0 in the simulator's
// layout (0 = Diploid); the calculator's file lacks the lines 0, 5, 6 and 7.
std::string File(Variant variant, const Edits& edits = {}) {
  Lines lines = kSimLines;
  for (const auto& [line, text] : edits) lines[line] = text;
  if (variant == Variant::Simulator) return Join(lines, 8);
  return Join(Lines(lines.begin() + 1, lines.begin() + 5), 4);
}

// Indexed like Group, in file order.
const auto& kBlocks = fuzz::kErrorBlocks;

TEST(ParameterReader, FreeFormLayouts) {
  const Lines texts = {
      "1\n4\n0.25\t0.25,0.25 , 0.25\n1,3\n\t1   2\n5\n10\n1\n",                             // tabs, commas
      "1 diploid\n4 alleles\n0.25 0.25 0.25 0.25 freq\n1 3,loci\n1 2 x\n5 s\n10 n\n1 m\n",  // comments
      "1\n4\n0.25\n0.25\n\n  0.25,\n0.25\n1\n\n3\n1 2\n5\n10\n1",          // spread over lines, no final line end
      "1 7\n4 9 9\n0.25 0.25 0.25 0.25 0.25 0.9\n1 3 1\n1 2\n5\n10\n1\n",  // extra values on a line ignored
      "\n\n1\n\n4\n\n0.25 0.25 0.25 0.25\n\n1 3\n1 2\n\n5\n10\n1\n",       // blank lines before groups
      Join(kSimLines, 8, "\r\n"),
  };
  for (const std::string& text : texts) {
    const RunValues v = Read(Variant::Simulator, text);
    EXPECT_EQ(v.Afe, std::vector<double>(4, 0.25)) << text;
    EXPECT_EQ(std::vector<std::int32_t>({v.Diploid, v.NAllele, v.LociRange.from, v.LociRange.to, v.AuntsRange.from,
                                         v.AuntsRange.to, v.Seed, v.NRep}),
              std::vector<std::int32_t>({1, 4, 1, 3, 1, 2, -5, 10}))
        << text;
    EXPECT_EQ(v.MapLength, 1.0f) << text;
  }
  // Two groups on one line: the second is skipped with the rest of the line
  // and reads the next line instead.
  EXPECT_EQ(Outcome(Variant::Simulator, "1 4\n0.25 0.25 0.25 0.25\n1 3\n1 2\n5\n10\n1\n"), kBlocks[1]);
  // Whatever follows the last group is never read.
  EXPECT_EQ(Outcome(Variant::Calculator, File(Variant::Calculator) + "not a number\n"), "passed");
}

TEST(ParameterReader, NumberForms) {
  const Rows integers = {
      {{{6, "2147483647"}}, "passed"},
      {{{6, "+7"}}, "passed"},
      {{{6, "-2147483648"}}, "Numberr of replicates must be > 0!\n"},  // read, then fails its check
      {{{6, "2147483648"}}, kBlocks[6]},
      {{{6, "99999999999999999999"}}, kBlocks[6]},
      {{{6, "1e3"}}, kBlocks[6]},
      {{{6, "12abc"}}, kBlocks[6]},
      {{{0, "1.0"}}, kBlocks[0]},
  };
  for (const auto& [edits, outcome] : integers)
    EXPECT_EQ(Outcome(Variant::Simulator, File(Variant::Simulator, edits)), outcome);

  const std::vector<std::pair<std::string, float>> maps = {
      {"5", 5.0f}, {"2.5", 2.5f}, {".5", 0.5f}, {"5.", 5.0f}, {"1.5E-1", 0.15f}, {"+1e2", 100.0f}, {"3.4e38", 3.4e38f}};
  for (const auto& [text, value] : maps)
    EXPECT_EQ(Read(Variant::Simulator, File(Variant::Simulator, {{7, text}})).MapLength, value) << text;
  for (const char* text : {"1e39", "nan", "inf", "-Infinity", "1e", ".", "e5", "1d2", "1.2.3", "0x1p3"})
    EXPECT_EQ(Outcome(Variant::Simulator, File(Variant::Simulator, {{7, text}})), kBlocks[7]) << text;

  // A comma after a line end still makes one separator with it.
  EXPECT_EQ(Read(Variant::Calculator, File(Variant::Calculator, {{2, "0.25 .25\n\n,25e-2 ,\n2.5E-1"}})).Afe,
            std::vector<double>(4, 0.25));
  // Below the smallest subnormal: read as zero, not refused.
  EXPECT_EQ(Read(Variant::Calculator, File(Variant::Calculator, {{1, "2"}, {2, "1 1e-400"}})).Afe,
            (std::vector<double>{1.0, 0.0}));
  for (const char* text :
       {"1e999 0 0 0", "nan 0.5 0.25 0.25", "3*0.25 0.25", "0.25 0.25 / 0.25 0.25", "0.25 0.25 0.25 0.25/",
        "0.25,,0.25 0.25 0.25", "0.25, ,0.25 0.25 0.25", ",0.25 0.25 0.25 0.25", "\n,0.25 0.25 0.25 0.25"})
    EXPECT_EQ(Outcome(Variant::Calculator, File(Variant::Calculator, {{2, text}})), kBlocks[2]) << text;
}

TEST(ParameterReader, ErrorBlocks) {
  // The character counts include the two line feeds inside each block.
  const std::size_t lengths[] = {73, 74, 107, 138, 140, 67, 67, 56};
  for (std::size_t group = 0; group < 8; ++group) {
    EXPECT_EQ(kBlocks[group].size(), lengths[group] + 1) << group;  // plus the record's own line end
    EXPECT_EQ(Outcome(Variant::Simulator, Join(kSimLines, group)), kBlocks[group]) << group;
    // A group cut short by the end of the file fails the same way.
    if (group >= 2 && group <= 4) {
      EXPECT_EQ(Outcome(Variant::Simulator, Join(kSimLines, group) + "1\n"), kBlocks[group]) << group;
    }
    if (group >= 1 && group <= 4) {
      EXPECT_EQ(Outcome(Variant::Calculator, Join(kCalcLines, group - 1)), kBlocks[group]) << group;
    }
  }
  // A comment on a line of its own; a simulator file read by the calculator;
  // a failing value and a later unreadable group: reading comes before checking.
  EXPECT_EQ(Outcome(Variant::Calculator, "4\n# frequencies\n0.25 0.25 0.25 0.25\n1 3\n1 2\n"), kBlocks[2]);
  EXPECT_EQ(Outcome(Variant::Calculator, Join(kSimLines, 8)), kBlocks[3]);
  EXPECT_EQ(Outcome(Variant::Simulator, File(Variant::Simulator, {{0, "2"}, {6, "many"}})), kBlocks[6]);
}

TEST(ParameterChecks, SharedChecksInOrder) {
  const std::string alleles = "Number of alleles/locus must be >1!\n";
  const std::string lociBound = "The lower or upper bound of the number of loci must be >0!\n";
  const std::string lociOrder = "Invalid range! Lower bound > upper bound of the number of loci!\n";
  const std::string auntsBound = "The lower or upper bound of the number of candidate aunts must be >0!\n";
  const std::string auntsOrder = "Invalid range! Lower bound > upper bound of the number of candidate aunts!\n";
  const std::string sum = "Allele frequencies do not sum to 1!\n";
  const Rows rows = {
      {{{1, "1"}, {2, "1"}}, alleles},
      {{{1, "-3"}, {2, "1 3"}, {3, "1 2"}, {4, "4 4"}}, alleles},  // no frequency read, no line used
      {{{3, "0 5"}}, lociBound},
      {{{3, "5 3"}}, lociOrder},
      {{{3, "1 1"}, {4, "2147483647 2147483647"}}, "passed"},
      {{{4, "5 0"}}, auntsBound},
      {{{4, "5 3"}}, auntsOrder},
      {{{1, "2"}, {2, "0.995 0"}}, sum},                           // the double nearest 0.995 lies below the bound
      {{{1, "2"}, {2, "1.005 0"}}, sum},                           // and the one nearest 1.005 above it
      {{{1, "2"}, {2, "0.99500000476837158203125 0"}}, "passed"},  // exactly on a bound
      {{{1, "2"}, {2, "1.00499999523162841796875 0"}}, "passed"},
      {{{1, "3"}, {2, "0.6 0.5 -0.1"}}, "Negative allele frequencies are not allowed!\n"},
      {{{1, "2"}, {2, "1.2 -0.1"}}, sum},  // the sum is tested first
      {{{1, "1"}, {2, "1"}, {3, "0 1"}}, alleles},
      {{{3, "5 3"}, {4, "0 1"}}, lociOrder},
      {{{4, "5 3"}, {2, "0.5 0.5 0.5 0.5"}}, auntsOrder},
  };
  for (Variant variant : {Variant::Simulator, Variant::Calculator})
    for (const auto& [edits, outcome] : rows)
      EXPECT_EQ(Outcome(variant, File(variant, edits)), outcome) << File(variant, edits);
}

TEST(ParameterChecks, SimulatorChecksAndSeed) {
  const std::string species = "The species must be either diploid (1) or haplodiploid (0)!\n";
  const std::string nRep = "Numberr of replicates must be > 0!\n";
  const std::string map = "MapLength of the genome must be > 0!\n";
  const std::string seed = "Seed must lie between -2147483646 and 2147483646!\n";
  const Rows rows = {
      {{{0, "2"}}, species},
      {{{0, "-1"}, {1, "1"}}, species},
      {{{0, "0"}}, "passed"},
      {{{6, "0"}}, nRep},
      {{{7, "0"}}, map},
      {{{7, "1e-50"}}, map},  // underflows to zero in single precision
      {{{2, "0.9 0.9 0.9 0.9"}, {6, "0"}}, "Allele frequencies do not sum to 1!\n"},
      {{{6, "0"}, {7, "0"}}, nRep},
      {{{7, "-1"}, {5, "2147483647"}}, map},
      {{{5, "2147483647"}}, seed},
      {{{5, "-2147483647"}}, seed},
      {{{5, "-2147483648"}}, seed},
  };
  for (const auto& [edits, outcome] : rows)
    EXPECT_EQ(Outcome(Variant::Simulator, File(Variant::Simulator, edits)), outcome);
  const std::vector<std::pair<std::string, std::int32_t>> seeds = {
      {"5", -5}, {"-5", -5}, {"0", 0}, {"2147483646", -2147483646}, {"-2147483646", -2147483646}};
  for (const auto& [text, value] : seeds)
    EXPECT_EQ(Read(Variant::Simulator, File(Variant::Simulator, {{5, text}})).Seed, value);
}

TEST(ParameterChecks, NormalisationForms) {
  // 0.02 + 0.977 sums to 0.997; multiplying by the reciprocal and dividing by
  // the sum differ in the last bit of the second frequency.
  const Edits edits = {{1, "2"}, {2, "0.02 0.977"}};
  EXPECT_EQ(Read(Variant::Simulator, File(Variant::Simulator, edits)).Afe,
            (std::vector<double>{0.020060180541624874, 0.979939819458375}));
  EXPECT_EQ(Read(Variant::Calculator, File(Variant::Calculator, edits)).Afe,
            (std::vector<double>{0.020060180541624874, 0.9799398194583752}));
}

TEST(ParameterFile, ChooseName) {
  const std::string longName = " " + std::string(997, 'a') + "  " + std::string(200, 'b');
  const std::string cutName(1200, 'x');
  const std::vector<std::pair<std::vector<const char*>, std::string>> rows = {
      {{"excsim"}, "SimParameter.txt"},
      {{"excsim", ""}, "SimParameter.txt"},
      {{"excsim", "    "}, "SimParameter.txt"},
      {{"excsim", "  my runs/p 1.txt  "}, "my runs/p 1.txt"},
      {{"excsim", "\tp.txt\t"}, "\tp.txt\t"},  // a tab is not a blank here
      {{"excsim", "a.txt", "b.txt"}, "a.txt"},
      {{"excsim", " ", "b.txt"}, "SimParameter.txt"},
      {{"excsim", longName.c_str()}, std::string(997, 'a')},  // cut to 999, then trimmed
      {{"excsim", cutName.c_str()}, std::string(999, 'x')},
  };
  for (const auto& [args, name] : rows)
    EXPECT_EQ(ChooseParameterFileName(static_cast<int>(args.size()), args.data(), kSimulatorDefaultName), name);
}

TEST(ParameterFile, ExistenceAndServiceFailures) {
  test::TempDir dir;
  const std::string missing = (dir / "no such.txt").string();
  try {
    RequireParameterFile(missing);
    ADD_FAILURE() << "no stop";
  } catch (const RunStopped& stop) {
    EXPECT_EQ(stop.text, "Parameter file, " + missing + ", does not exist!\nProgram stops!\n");
  }
  test::WriteFile(dir / "p.txt", File(Variant::Calculator));
  EXPECT_EQ(ReadParameters(Variant::Calculator, (dir / "p.txt").string()).NAllele, 4);
  // A directory exists but cannot be read: a service failure, not the first
  // group's error block.
  EXPECT_NO_THROW(RequireParameterFile(dir.path().string()));
  EXPECT_THROW(ReadParameters(Variant::Simulator, dir.path().string()), ServiceFailure);
  EXPECT_THROW(ReadParameters(Variant::Simulator, missing), ServiceFailure);
}

}  // namespace
}  // namespace exc
