// A battery of bad parameter files run through both built programs: each
// must print its message on standard output byte for byte, nothing on
// standard error, end with status 1 and leave no results file behind. Every
// file is also run with CR LF line ends and without its final line end,
// which must change nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace exc::test {
namespace {

namespace fs = std::filesystem;

// The expected texts are written out here, not taken from the library, so
// that a changed message is caught.
std::string Block(const char* first, const char* second) {
  return std::string(first) + "\n" + second + "\nProgram aborts.\n";
}

const std::string kDiploid = Block("Error reading parameter Diploid!", "It must be either 1 or 0");
const std::string kNAllele = Block("Error reading parameter NAllele!", "It must be an integer > 1");
const std::string kAfe =
    Block("Error reading parameter Afe(1 : NAllele)!", "There must be NAllele frequencies which sum to 1.");
const std::string kLoci = Block("Error reading parameter #Loci [from, to]!",
                                "There must be 2 positive integers which are the lower and upper limits of #loci.");
const std::string kAunts = Block("Error reading parameter #Aunts [from, to]!",
                                 "There must be 2 positive integers which are the lower and upper limits of #Aunts.");
const std::string kSeed = Block("Error reading parameter Seed!", "It must be an integer");
const std::string kNRep = Block("Error reading parameter NRep!", "It must be an integer");
const std::string kMapLength = Block("Error reading MapLength!", "It must be > 0.");

const std::string kSpecies = "The species must be either diploid (1) or haplodiploid (0)!\n";
const std::string kAlleles = "Number of alleles/locus must be >1!\n";
const std::string kLociBounds = "The lower or upper bound of the number of loci must be >0!\n";
const std::string kLociOrder = "Invalid range! Lower bound > upper bound of the number of loci!\n";
const std::string kAuntsBounds = "The lower or upper bound of the number of candidate aunts must be >0!\n";
const std::string kAuntsOrder = "Invalid range! Lower bound > upper bound of the number of candidate aunts!\n";
const std::string kSum = "Allele frequencies do not sum to 1!\n";
const std::string kNegative = "Negative allele frequencies are not allowed!\n";
const std::string kReplicates = "Numberr of replicates must be > 0!\n";
const std::string kMapLengthCheck = "MapLength of the genome must be > 0!\n";
const std::string kSeedRange = "Seed must lie between -2147483646 and 2147483646!\n";

struct BadInput {
  Program program;
  const char* file;  // under tests/data/bad/, or nullptr for no parameter file at all
  std::string expected;
};

void PrintTo(const BadInput& bad, std::ostream* os) {
  *os << (bad.program == Program::Simulator ? "excsim " : "exccalc ") << (bad.file == nullptr ? "(no file)" : bad.file);
}

const std::vector<BadInput>& Battery() {
  static const std::vector<BadInput> battery = {
      // The simulator's eight groups.
      {Program::Simulator, nullptr, "Parameter file, SimParameter.txt, does not exist!\nProgram stops!\n"},
      {Program::Simulator, "sim/empty.txt", kDiploid},
      {Program::Simulator, "sim/blanks.txt", kDiploid},
      {Program::Simulator, "sim/diploid-real.txt", kDiploid},
      {Program::Simulator, "sim/diploid-word.txt", kDiploid},
      {Program::Simulator, "sim/comment-before-first-group.txt", kDiploid},
      {Program::Simulator, "sim/comment-before-loci.txt", kLoci},
      {Program::Simulator, "sim/nallele-word.txt", kNAllele},
      {Program::Simulator, "sim/nallele-zero.txt", kAlleles},
      {Program::Simulator, "sim/nallele-negative.txt", kAlleles},
      {Program::Simulator, "sim/nallele-one.txt", kAlleles},
      {Program::Simulator, "sim/too-few-frequencies-at-end.txt", kAfe},
      // The first loci value completes the frequencies; every later group
      // reads the line below its own and NRep meets the end of the file.
      {Program::Simulator, "sim/too-few-frequencies-shifted.txt", kNRep},
      {Program::Simulator, "sim/frequency-nan.txt", kAfe},
      {Program::Simulator, "sim/frequency-inf.txt", kAfe},
      {Program::Simulator, "sim/frequency-infinity.txt", kAfe},
      {Program::Simulator, "sim/frequency-overflow.txt", kAfe},
      {Program::Simulator, "sim/frequency-repeat-count.txt", kAfe},
      {Program::Simulator, "sim/frequency-empty-value.txt", kAfe},
      {Program::Simulator, "sim/frequency-leading-comma.txt", kAfe},
      {Program::Simulator, "sim/frequency-slash.txt", kAfe},
      {Program::Simulator, "sim/frequency-d-exponent.txt", kAfe},
      {Program::Simulator, "sim/frequency-hex.txt", kAfe},
      {Program::Simulator, "sim/frequency-nul-byte.txt", kAfe},
      {Program::Simulator, "sim/loci-word.txt", kLoci},
      {Program::Simulator, "sim/loci-real.txt", kLoci},
      {Program::Simulator, "sim/loci-slash.txt", kLoci},
      {Program::Simulator, "sim/loci-zero.txt", kLociBounds},
      {Program::Simulator, "sim/loci-reversed.txt", kLociOrder},
      {Program::Simulator, "sim/aunts-word.txt", kAunts},
      {Program::Simulator, "sim/aunts-zero.txt", kAuntsBounds},
      {Program::Simulator, "sim/aunts-reversed.txt", kAuntsOrder},
      {Program::Simulator, "sim/sum-below.txt", kSum},
      {Program::Simulator, "sim/sum-above.txt", kSum},
      {Program::Simulator, "sim/frequency-negative.txt", kNegative},
      {Program::Simulator, "sim/frequency-negative-sum-first.txt", kSum},
      {Program::Simulator, "sim/seed-real.txt", kSeed},
      {Program::Simulator, "sim/seed-below-32-bit.txt", kSeed},
      {Program::Simulator, "sim/seed-lowest.txt", kSeedRange},
      {Program::Simulator, "sim/seed-lowest-plus-one.txt", kSeedRange},
      {Program::Simulator, "sim/seed-highest.txt", kSeedRange},
      {Program::Simulator, "sim/nrep-above-32-bit.txt", kNRep},
      {Program::Simulator, "sim/nrep-zero.txt", kReplicates},
      // -2147483648 is a valid integer: the check, not the reader, refuses it.
      {Program::Simulator, "sim/nrep-lowest.txt", kReplicates},
      {Program::Simulator, "sim/maplength-missing.txt", kMapLength},
      {Program::Simulator, "sim/maplength-nan.txt", kMapLength},
      {Program::Simulator, "sim/maplength-inf.txt", kMapLength},
      // Fits a double but not single precision.
      {Program::Simulator, "sim/maplength-overflow.txt", kMapLength},
      {Program::Simulator, "sim/maplength-zero.txt", kMapLengthCheck},
      {Program::Simulator, "sim/maplength-negative.txt", kMapLengthCheck},
      // Rounds to zero in single precision.
      {Program::Simulator, "sim/maplength-underflow.txt", kMapLengthCheck},
      {Program::Simulator, "sim/diploid-two.txt", kSpecies},
      // All groups are read before any check.
      {Program::Simulator, "sim/diploid-two-nrep-unreadable.txt", kNRep},
      {Program::Simulator, "sim/calculator-file.txt", kNAllele},

      // The calculator's four groups.
      {Program::Calculator, nullptr, "Parameter file, Parameter.txt, does not exist!\nProgram stops!\n"},
      {Program::Calculator, "calc/empty.txt", kNAllele},
      {Program::Calculator, "calc/blanks.txt", kNAllele},
      {Program::Calculator, "calc/nallele-real.txt", kNAllele},
      {Program::Calculator, "calc/comment-before-first-group.txt", kNAllele},
      {Program::Calculator, "calc/nallele-above-32-bit.txt", kNAllele},
      {Program::Calculator, "calc/nallele-one.txt", kAlleles},
      {Program::Calculator, "calc/nallele-zero.txt", kAlleles},
      {Program::Calculator, "calc/nallele-lowest.txt", kAlleles},
      {Program::Calculator, "calc/too-few-frequencies-at-end.txt", kAfe},
      {Program::Calculator, "calc/too-few-frequencies-shifted.txt", kAunts},
      {Program::Calculator, "calc/frequency-nan.txt", kAfe},
      {Program::Calculator, "calc/frequency-inf.txt", kAfe},
      {Program::Calculator, "calc/frequency-overflow.txt", kAfe},
      {Program::Calculator, "calc/frequency-repeat-count.txt", kAfe},
      {Program::Calculator, "calc/frequency-slash.txt", kAfe},
      {Program::Calculator, "calc/frequency-empty-value.txt", kAfe},
      {Program::Calculator, "calc/frequency-word.txt", kAfe},
      {Program::Calculator, "calc/loci-one-value-at-end.txt", kLoci},
      {Program::Calculator, "calc/loci-words.txt", kLoci},
      {Program::Calculator, "calc/loci-above-32-bit.txt", kLoci},
      {Program::Calculator, "calc/loci-zero.txt", kLociBounds},
      {Program::Calculator, "calc/loci-reversed.txt", kLociOrder},
      {Program::Calculator, "calc/aunts-missing.txt", kAunts},
      {Program::Calculator, "calc/aunts-below-32-bit.txt", kAunts},
      {Program::Calculator, "calc/aunts-zero.txt", kAuntsBounds},
      {Program::Calculator, "calc/aunts-reversed.txt", kAuntsOrder},
      // Checked before any storage is sized from the loci range.
      {Program::Calculator, "calc/aunts-reversed-largest-loci.txt", kAuntsOrder},
      {Program::Calculator, "calc/sum-below.txt", kSum},
      {Program::Calculator, "calc/sum-above.txt", kSum},
      {Program::Calculator, "calc/frequency-negative.txt", kNegative},
      {Program::Calculator, "calc/nallele-one-aunts-unreadable.txt", kAunts},
      // NAllele 1 takes the 4 as its frequency and the loci range meets 0.25.
      {Program::Calculator, "calc/simulator-file.txt", kLoci},
  };
  return battery;
}

std::string WithCrLf(const std::string& text) {
  std::string converted;
  for (char c : text) {
    if (c == '\n') converted.push_back('\r');
    converted.push_back(c);
  }
  return converted;
}

std::string WithoutFinalLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string CaseName(const ::testing::TestParamInfo<BadInput>& info) {
  std::string name = info.param.file == nullptr
                         ? std::string(info.param.program == Program::Simulator ? "sim" : "calc") + "_no_file"
                         : info.param.file;
  if (name.size() > 4 && name.ends_with(".txt")) name.resize(name.size() - 4);
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

class BadParameterFile : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadParameterFile, StopsWithItsMessageAndWritesNothing) {
  const BadInput& bad = GetParam();
  const std::string plain = bad.file == nullptr ? "" : ReadFile(DataPath(std::string("bad/") + bad.file));
  struct Twin {
    const char* name;
    std::string text;
    bool earlierResults;  // an earlier results file lies there and must survive
  };
  const std::vector<Twin> twins = {
      {"plain", plain, false},
      {"CR LF line ends", WithCrLf(plain), true},
      {"no final line end", WithoutFinalLineEnd(plain), false},
  };
  const std::string earlier = "earlier results\r\n";
  for (const Twin& twin : twins) {
    SCOPED_TRACE(twin.name);
    TempDir dir;
    std::vector<std::string> expectedEntries;
    if (bad.file != nullptr) {
      WriteFile(dir / DefaultName(bad.program), twin.text);
      expectedEntries.push_back(DefaultName(bad.program));
    }
    if (twin.earlierResults) {
      WriteFile(dir / DefaultResultsName(bad.program), earlier);
      expectedEntries.push_back(DefaultResultsName(bad.program));
    }
    std::sort(expectedEntries.begin(), expectedEntries.end());

    const ProgramRun run = RunProgram(PathOf(bad.program), {}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, bad.expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Entries(dir.path()), expectedEntries);
    if (twin.earlierResults) {
      EXPECT_EQ(ReadFile(dir / DefaultResultsName(bad.program)), earlier);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Battery, BadParameterFile, ::testing::ValuesIn(Battery()), CaseName);

TEST(BadParameterFile, BatteryCoversEveryFileOnDisk) {
  // A data file that no row names would silently test nothing.
  std::vector<std::string> named;
  for (const BadInput& bad : Battery())
    if (bad.file != nullptr) named.push_back(bad.file);
  std::sort(named.begin(), named.end());
  std::vector<std::string> onDisk;
  for (const char* sub : {"sim", "calc"})
    for (const std::string& name : Entries(DataPath(std::string("bad/") + sub)))
      onDisk.push_back(std::string(sub) + "/" + name);
  std::sort(onDisk.begin(), onDisk.end());
  EXPECT_EQ(named, onDisk);
}

// Valid files whose line ends differ: CR LF, and none after the last line.
// Each must run exactly like its plain twin.
TEST(LineEndTwins, ReadLikeThePlainFile) {
  struct Family {
    Program program;
    const char* stem;
  };
  for (const Family& family : {Family{Program::Simulator, "sim"}, Family{Program::Calculator, "calc"}}) {
    SCOPED_TRACE(family.stem);
    std::vector<ProgramRun> runs;
    std::vector<std::string> results;
    for (const char* kind : {"plain", "crlf", "no-final-line-end"}) {
      const std::string file = std::string("bad/twins/") + family.stem + "-" + kind + ".txt";
      TempDir dir;
      WriteFile(dir / DefaultName(family.program), ReadFile(DataPath(file)));
      ProgramRun run = RunProgram(PathOf(family.program), {}, dir.path());
      ASSERT_EQ(run.status, 0) << file << "\n" << run.out << run.err;
      run.out = MaskElapsed(run.out);
      runs.push_back(run);
      results.push_back(ReadFile(dir / DefaultResultsName(family.program)));
    }
    // The twins really differ in their bytes.
    EXPECT_NE(ReadFile(DataPath(std::string("bad/twins/") + family.stem + "-crlf.txt")),
              ReadFile(DataPath(std::string("bad/twins/") + family.stem + "-plain.txt")));
    for (std::size_t i = 1; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].out, runs[0].out);
      EXPECT_EQ(runs[i].err, "");
      EXPECT_EQ(results[i], results[0]);
    }
    // Three numbers of loci by two of aunts: the whole table came through.
    EXPECT_EQ(std::count(results[0].begin(), results[0].end(), '\n'), 4);
  }
}

}  // namespace
}  // namespace exc::test
