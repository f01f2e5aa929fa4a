#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/fields.hpp"
#include "common/results.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "e2e_support.hpp"

namespace exc {
namespace {

TEST(Fields, IntegerField) {
  EXPECT_EQ(IntegerField(0, 6) + IntegerField(-5, 6) + IntegerField(999999, 6) + IntegerField(1000000, 6),
            "     0    -5999999******");
  // The minus sign takes a column of its own.
  EXPECT_EQ(IntegerField(-99999, 6) + IntegerField(-100000, 6), "-99999******");
}

TEST(Fields, FixedFieldRoundsTheExactBinaryValue) {
  const std::vector<std::pair<double, std::string>> rows = {
      {0.25, "  0.25000000"},
      {1.0, "  1.00000000"},
      {0.0, "  0.00000000"},
      {1.0 / 512, "  0.00195312"},  // exact tie 0.001953125: down to the even 2
      {3.0 / 512, "  0.00585938"},  // exact tie 0.005859375: up to the even 8
      {5.0 / 512, "  0.00976562"},  // exact tie 0.009765625: down to the even 2
      // Decimal texts that look like ties but whose doubles lie just below
      // and just above one; rounding the shortest decimal text gets them wrong.
      {0.123456785, "  0.12345678"},
      {0.100000005, "  0.10000001"},
      {0.999999985, "  0.99999998"},
      {0.999999995, "  1.00000000"},  // the carry reaches the units digit
  };
  for (const auto& [value, want] : rows) EXPECT_EQ(FixedField(value, 12, 8), want) << value;
}

ResultsMatrix Matrix(IntRange loci, IntRange aunts, const std::vector<double>& values) {
  ResultsMatrix m(loci, aunts);
  std::size_t k = 0;
  for (std::int64_t j = 0; j < aunts.Count(); ++j)
    for (std::int64_t i = 0; i < loci.Count(); ++i)
      m.At(static_cast<std::int32_t>(loci.from + i), static_cast<std::int32_t>(aunts.from + j)) = values.at(k++);
  return m;
}

TEST(ResultsFile, Layout) {
  // Values listed with the number of loci varying fastest.
  EXPECT_EQ(FormatResults(Matrix({1, 2}, {1, 3}, {0.25, 0.123456785, 1.0, 0.100000005, 0.0, 1.0 / 512})),
            " NLoci           1           2           3\r\n"
            "     1  0.25000000  1.00000000  0.00000000\r\n"
            "     2  0.12345678  0.10000001  0.00195312\r\n");
  EXPECT_EQ(FormatResults(Matrix({999999, 1000000}, {5, 5}, {0.5, 3.0 / 512})),
            " NLoci           5\r\n"
            "999999  0.50000000\r\n"
            "******  0.00585938\r\n");
  // The loops end at the largest 32-bit value instead of wrapping around.
  EXPECT_EQ(FormatResults(Matrix({2147483647, 2147483647}, {2147483646, 2147483647}, {0.0, 1.0})),
            " NLoci  2147483646  2147483647\r\n"
            "******  0.00000000  1.00000000\r\n");
}

TEST(ResultsFile, NameFromTheFilesOwnPart) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"SimParameter.txt", "SimParameter.DuviZadIru"},
      {"Parameter.txt", "Parameter.DuviZadIru"},
      {"runs/params", "runs/params.DuviZadIru"},
      {"a.b.txt", "a.b.DuviZadIru"},
      {"run.", "run.DuviZadIru"},
      {"sub/p.txt", "sub/p.DuviZadIru"},
      // A "." in a directory's name never counts.
      {"data.old/params", "data.old/params.DuviZadIru"},
      {"run.v2/params", "run.v2/params.DuviZadIru"},
      {"./params", "./params.DuviZadIru"},
      {"../params", "../params.DuviZadIru"},
      {"../x.y/p.q.r", "../x.y/p.q.DuviZadIru"},
      {"/abs.d/.hidden", "/abs.d/.DuviZadIru"},
  };
  for (const auto& [parameters, results] : rows) EXPECT_EQ(DeriveResultsFileName(parameters), results);
}

// Writes `m` through a ResultsFile made the given way.
void Write(const std::string& name, const ResultsMatrix& m, ResultsFile::Temporary kind) {
  ResultsFile file(name, kind);
  WriteResultsFile(file, m);
}

class ResultsFileKinds : public ::testing::TestWithParam<ResultsFile::Temporary> {};

TEST_P(ResultsFileKinds, ReplacesTheWholeFileAndLeavesNothingElse) {
  test::TempDir dir;
  const ResultsMatrix m = Matrix({1, 1}, {1, 1}, {0.5});
  const std::string name = (dir / "Parameter.DuviZadIru").string();
  test::WriteFile(name, std::string(500, 'o') + "\r\n");
  Write(name, m, GetParam());
  EXPECT_EQ(test::ReadFile(name), " NLoci           1\r\n     1  0.50000000\r\n");
  EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"Parameter.DuviZadIru"});

  // The longest name a directory entry can take still leaves room for the
  // temporary file beside it; with no earlier file too.
  const std::string longest = (dir / (std::string(244, 'p') + ".DuviZadIru")).string();
  Write(longest, m, GetParam());
  EXPECT_EQ(test::ReadFile(longest), FormatResults(m));
  EXPECT_EQ(test::Entries(dir.path()).size(), 2u);
}

TEST_P(ResultsFileKinds, ALargeTableGoesThroughTheFixedBuffer) {
  // Records of 12006 characters, many buffers' worth in all, with values
  // that show where a piece went.
  test::TempDir dir;
  const IntRange loci{1, 40};
  const IntRange aunts{1, 1000};
  ResultsMatrix m(loci, aunts);
  for (std::int32_t l = 1; l <= 40; ++l)
    for (std::int32_t a = 1; a <= 1000; ++a) m.At(l, a) = (l * 1000 + a) * 1e-8;
  const std::string name = (dir / "big.DuviZadIru").string();
  Write(name, m, GetParam());
  EXPECT_EQ(test::ReadFile(name), FormatResults(m));
  EXPECT_EQ(FormatResults(m).size(), 41u * 12008u);
}

TEST_P(ResultsFileKinds, KeepsTheEarlierFilesPermissionBits) {
  test::TempDir dir;
  const ResultsMatrix m = Matrix({1, 1}, {1, 1}, {0.5});
  const std::string name = (dir / "r.DuviZadIru").string();
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0664}, mode_t{0400}}) {
    test::WriteFile(name, "earlier");
    ASSERT_EQ(::chmod(name.c_str(), mode), 0);
    if (::geteuid() != 0 && (mode & 0200) == 0) continue;  // refused, see the end-to-end tests
    Write(name, m, GetParam());
    struct stat status {};
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode);
    EXPECT_EQ(test::ReadFile(name), FormatResults(m));
  }
  // A new file gets the usual mode under the caller's umask.
  const mode_t previous = ::umask(027);
  Write((dir / "new.DuviZadIru").string(), m, GetParam());
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat((dir / "new.DuviZadIru").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_P(ResultsFileKinds, ReplacesALinkAtTheNameAndLeavesItsTargetAlone) {
  test::TempDir dir;
  const ResultsMatrix m = Matrix({1, 1}, {1, 1}, {0.5});
  const std::string name = (dir / "r.DuviZadIru").string();
  const std::filesystem::path target = dir / "target.txt";
  const mode_t previous = ::umask(022);
  for (const bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "a dangling link" : "a link to a private file");
    std::filesystem::remove(target);
    if (!dangling) {
      test::WriteFile(target, "target");
      ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    }
    std::filesystem::create_symlink(target, name);
    Write(name, m, GetParam());
    EXPECT_FALSE(std::filesystem::is_symlink(name));
    EXPECT_EQ(test::ReadFile(name), FormatResults(m));
    // The usual mode, not the target's.
    struct stat status {};
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    if (dangling) {
      EXPECT_FALSE(std::filesystem::exists(target));
    } else {
      EXPECT_EQ(test::ReadFile(target), "target");
    }
    std::filesystem::remove(name);
  }
  ::umask(previous);
}

TEST_P(ResultsFileKinds, RefusesAtOnceWhatCannotBeWritten) {
  test::TempDir dir;
  std::filesystem::create_directory(dir / "busy.DuviZadIru");
  test::WriteFile(dir / "busy.DuviZadIru" / "keep", "kept");
  test::WriteFile(dir / "file", "a file, not a directory");
  const std::vector<std::string> names = {
      (dir / "busy.DuviZadIru").string(),                              // a directory of that name
      (dir / "missing" / "r.DuviZadIru").string(),                     // no such directory
      (dir / "file" / "r.DuviZadIru").string(),                        // a file on the way
      (dir / (std::string(250, 'p') + ".DuviZadIru")).string(),        // too long a name
  };
  for (const std::string& name : names) {
    EXPECT_THROW(ResultsFile(name, GetParam()), ServiceFailure) << name;
  }
  EXPECT_EQ(test::ReadFile(dir / "busy.DuviZadIru" / "keep"), "kept");
  EXPECT_EQ(test::Entries(dir.path()), (std::vector<std::string>{"busy.DuviZadIru", "file"}));
}

TEST_P(ResultsFileKinds, AFileNotWrittenLeavesEverythingAsItWas) {
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  test::WriteFile(name, "earlier");
  { ResultsFile file(name, GetParam()); }
  EXPECT_EQ(test::ReadFile(name), "earlier");
  EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"r.DuviZadIru"});
}

TEST(ResultsFile, AnUnnamedFileLeavesNoEntryWhileTheRunGoesOn) {
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  ResultsFile file(name);
  if (file.Kind() != ResultsFile::Temporary::Unnamed) GTEST_SKIP() << "no unnamed files on this file system";
  EXPECT_TRUE(test::Entries(dir.path()).empty());
  ResultsFile hidden(name, ResultsFile::Temporary::Hidden);
  ASSERT_EQ(test::Entries(dir.path()).size(), 1u);
  EXPECT_TRUE(test::Entries(dir.path())[0].starts_with(".DuviZadIru-"));
}

std::string KindName(const ::testing::TestParamInfo<ResultsFile::Temporary>& info) {
  return info.param == ResultsFile::Temporary::Unnamed ? "Unnamed" : "Hidden";
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ResultsFileKinds,
                         ::testing::Values(ResultsFile::Temporary::Unnamed, ResultsFile::Temporary::Hidden), KindName);

TEST(StorageBudget, OverflowAndPhysicalMemory) {
  StorageBudget whole;  // ExProb over loci 1..2147483647 by aunts 1..2147483647
  whole.Add(std::int64_t{2147483647} * 2147483647, 8);
  EXPECT_TRUE(whole.Overflowed());
  EXPECT_THROW(whole.Require("ExProb"), ServiceFailure);

  StorageBudget parts;  // each part fits, their total does not
  parts.Add(std::numeric_limits<std::int64_t>::max(), 2);
  EXPECT_FALSE(parts.Overflowed());
  parts.Add(2, 1);
  EXPECT_TRUE(parts.Overflowed());

  const auto physical = static_cast<std::int64_t>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGE_SIZE);
  StorageBudget atLimit;
  atLimit.Add(physical, 1);
  EXPECT_NO_THROW(atLimit.Require("ExProb"));
  atLimit.Add(1, 1);
  try {
    atLimit.Require("ExProb");
    ADD_FAILURE() << "no failure";
  } catch (const ServiceFailure& failure) {
    EXPECT_NE(std::string(failure.what()).find("ExProb"), std::string::npos) << failure.what();
  }
}

}  // namespace
}  // namespace exc
