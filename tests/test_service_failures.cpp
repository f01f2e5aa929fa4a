// Failures of the file and memory services, for both built programs: each
// ends with status 2 and one diagnostic line on standard error that names the
// file or the cause, leaves no partial results file and keeps an earlier
// results file of that name byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.hpp"

namespace exc::test {
namespace {

namespace fs = std::filesystem;

struct ProgramCase {
  Program program;
  const char* path;
  const char* name;            // as it starts its diagnostics
  const char* parameterName;   // default parameter file
  const char* resultsName;     // its results file
  const char* smallRun;        // a valid parameter file that runs in a moment
  std::string (*WithRanges)(std::int64_t lociTo, std::int64_t auntsTo);
};

std::string SimulatorFile(std::int64_t lociTo, std::int64_t auntsTo) {
  return "1\n2\n0.5 0.5\n1 " + std::to_string(lociTo) + "\n1 " + std::to_string(auntsTo) + "\n5\n1\n999\n";
}
std::string CalculatorFile(std::int64_t lociTo, std::int64_t auntsTo) {
  return "2\n0.5 0.5\n1 " + std::to_string(lociTo) + "\n1 " + std::to_string(auntsTo) + "\n";
}

const ProgramCase kPrograms[] = {
    {Program::Simulator, EXCSIM_PATH, "excsim", "SimParameter.txt", "SimParameter.DuviZadIru",
     "1\n2\n0.5 0.5\n1 2\n1 2\n5\n100\n999\n", SimulatorFile},
    {Program::Calculator, EXCCALC_PATH, "exccalc", "Parameter.txt", "Parameter.DuviZadIru", "2\n0.5 0.5\n1 2\n1 2\n",
     CalculatorFile},
};

void PrintTo(const ProgramCase& p, std::ostream* os) { *os << p.name; }

const std::string& kEarlier = kEarlierResults;

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The results file was never replaced and nothing else was left beside it.
void ExpectEarlierResultsKept(const fs::path& dir, const ProgramCase& p, std::vector<std::string> expectedEntries) {
  EXPECT_EQ(ReadFile(dir / p.resultsName), kEarlier);
  EXPECT_EQ(Entries(dir), Sorted(std::move(expectedEntries)));
}

class ServiceFailures : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ServiceFailures, ParameterPathNamesADirectory) {
  const ProgramCase& p = GetParam();
  TempDir dir;
  fs::create_directory(dir / p.parameterName);
  WriteFile(dir / p.resultsName, kEarlier);
  const ProgramRun run = RunLimited(p.path, {}, dir.path(), {});
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, p.parameterName);
  ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
}

TEST_P(ServiceFailures, DiagnosticStaysOneLineWhateverTheName) {
  // A line feed and an escape character in the name come out as \xNN.
  const ProgramCase& p = GetParam();
  TempDir dir;
  fs::create_directory(dir / "two\nlines\x1b[2J.txt");
  const ProgramRun run = RunLimited(p.path, {"two\nlines\x1b[2J.txt"}, dir.path(), {});
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, "two\\x0alines\\x1b[2J.txt");
}

TEST_P(ServiceFailures, ParameterFileCannotBeOpened) {
  // A socket exists but no one, root included, can open it as a file.
  const ProgramCase& p = GetParam();
  TempDir dir;
  const std::string socketPath = (dir / p.parameterName).string();
  sockaddr_un address{};
  if (socketPath.size() >= sizeof address.sun_path) GTEST_SKIP() << "temporary directory path too long for a socket";
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  WriteFile(dir / p.resultsName, kEarlier);
  const ProgramRun run = RunLimited(p.path, {}, dir.path(), {});
  ::close(fd);
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, p.parameterName);
  ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
}

TEST_P(ServiceFailures, ParameterFileNotReadable) {
  const ProgramCase& p = GetParam();
  TempDir dir;
  WriteFile(dir / p.parameterName, p.smallRun);
  WriteFile(dir / p.resultsName, kEarlier);
  fs::permissions(dir / p.parameterName, fs::perms::none);
  if (const auto reason = PrepareUnprivileged(dir.path(), p.path)) GTEST_SKIP() << *reason;
  const ProgramRun run = RunLimited(p.path, {}, dir.path(), {.unprivileged = true});
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, p.parameterName);
  ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
}

TEST_P(ServiceFailures, ResultsDirectoryNotWritable) {
  const ProgramCase& p = GetParam();
  TempDir dir;
  fs::create_directory(dir / "runs");
  WriteFile(dir / "runs" / p.parameterName, p.smallRun);
  WriteFile(dir / "runs" / p.resultsName, kEarlier);
  if (const auto reason = PrepareUnprivileged(dir.path(), p.path)) GTEST_SKIP() << *reason;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((dir / "runs").c_str(), kNobody, kNoGroup), 0);
  }
  fs::permissions(dir / "runs", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const ProgramRun run =
      RunLimited(p.path, {std::string("runs/") + p.parameterName}, dir.path(), {.unprivileged = true});
  // Found before the first pair.
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, std::string("runs/") + p.resultsName);
  fs::permissions(dir / "runs", fs::perms::owner_all, fs::perm_options::add);
  ExpectEarlierResultsKept(dir / "runs", p, {p.parameterName, p.resultsName});
}

TEST_P(ServiceFailures, ResultsNameNamesADirectory) {
  const ProgramCase& p = GetParam();
  TempDir dir;
  WriteFile(dir / p.parameterName, p.smallRun);
  fs::create_directory(dir / p.resultsName);
  WriteFile(dir / p.resultsName / "kept.txt", kEarlier);
  const ProgramRun run = RunLimited(p.path, {}, dir.path(), {});
  EXPECT_EQ(run.out, "");
  ExpectOneDiagnostic(run, p.name, p.resultsName);
  EXPECT_TRUE(fs::is_directory(dir / p.resultsName));
  EXPECT_EQ(ReadFile(dir / p.resultsName / "kept.txt"), kEarlier);
  EXPECT_EQ(Entries(dir / p.resultsName), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(Entries(dir.path()), Sorted({p.parameterName, p.resultsName}));
}

TEST_P(ServiceFailures, FileTooLargeHalfwayThroughTheResults) {
  // 400 numbers of aunts make records of 4806 characters: the write fails
  // after the first 4096 bytes, as on a full disk. The file-size signal,
  // whether the caller ignores it or not, must not kill the program before
  // it removes its partial temporary file.
  const ProgramCase& p = GetParam();
  for (const bool ignored : {true, false}) {
    SCOPED_TRACE(ignored ? "signal ignored" : "signal at its default");
    TempDir dir;
    WriteFile(dir / p.parameterName, p.WithRanges(1, 400));
    WriteFile(dir / p.resultsName, kEarlier);
    const ProgramRun run =
        RunLimited(p.path, {}, dir.path(), {.fileSize = 4096, .ignoreFileSizeSignal = ignored});
    EXPECT_THAT(run.out, ::testing::Not(::testing::HasSubstr("Analysis")));
    ExpectOneDiagnostic(run, p.name, p.resultsName);
    ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
  }
}

TEST_P(ServiceFailures, RunKilledDuringThePairsLeavesEarlierResults) {
  // Far more pairs than any test waits for; the kill comes as soon as the
  // first pair has begun.
  const ProgramCase& p = GetParam();
  TempDir dir;
  WriteFile(dir / p.parameterName, p.program == Program::Simulator
                                       ? "1\n2\n0.5 0.5\n1 1000\n1 1000\n5\n2000000000\n999\n"
                                       : "2\n0.5 0.5\n1 2000\n1 2000\n");
  WriteFile(dir / p.resultsName, kEarlier);
  const char* firstPair = p.program == Program::Simulator ? "Simulating Prb. of Exc. 1 aunts by 1 markers...\n"
                                                          : "           1           1";
  const ProgramRun run =
      RunLimited(p.path, {}, dir.path(), {.timeoutSeconds = 120, .signal = SIGKILL, .signalOnOutput = firstPair});
  EXPECT_EQ(run.status, 128 + SIGKILL);
  EXPECT_EQ(run.err, "");  // not the hang guard's kill
  EXPECT_THAT(run.out, ::testing::HasSubstr(firstPair));
  ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
}

TEST_P(ServiceFailures, StorageCannotBeHad) {
  const ProgramCase& p = GetParam();
  // The matrix alone needs more bytes than the machine has, without any
  // overflow on the way.
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  ASSERT_GT(pages, 0);
  const std::int64_t largest = 2147483647;
  const auto physical = static_cast<std::int64_t>(pages) * pageSize;
  const std::int64_t lociBeyondMemory = physical / 8 / largest + 1;
  struct Ranges {
    const char* what;
    std::int64_t lociTo;
    std::int64_t auntsTo;
  };
  for (const Ranges& r : {Ranges{"both ranges up to the largest 32-bit value", largest, largest},
                          Ranges{"a matrix beyond physical memory", lociBeyondMemory, largest}}) {
    SCOPED_TRACE(r.what);
    TempDir dir;
    WriteFile(dir / p.parameterName, p.WithRanges(r.lociTo, r.auntsTo));
    WriteFile(dir / p.resultsName, kEarlier);
    const ProgramRun run = RunLimited(p.path, {}, dir.path(), {.timeoutSeconds = 60});
    // Refused before the first pair.
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, p.name, "storage");
    ExpectEarlierResultsKept(dir.path(), p, {p.parameterName, p.resultsName});
  }
}

TEST_P(ServiceFailures, ConsoleThatCannotBeWritten) {
  const ProgramCase& p = GetParam();
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  {
    SCOPED_TRACE("completed run");
    TempDir dir;
    WriteFile(dir / p.parameterName, p.smallRun);
    const ProgramRun run = RunLimited(p.path, {}, dir.path(), {.stdoutPath = "/dev/full"});
    ExpectOneDiagnostic(run, p.name, "standard output");
  }
  {
    SCOPED_TRACE("stopped run");
    TempDir dir;
    const ProgramRun run = RunLimited(p.path, {}, dir.path(), {.stdoutPath = "/dev/full"});
    ExpectOneDiagnostic(run, p.name, "standard output");
    EXPECT_TRUE(Entries(dir.path()).empty());
  }
}

// The same program with its messages on standard output and nothing on
// standard error, so the split above is the only use of standard error.
TEST_P(ServiceFailures, SuccessfulRunWritesNothingToStandardError) {
  const ProgramCase& p = GetParam();
  TempDir dir;
  WriteFile(dir / p.parameterName, p.smallRun);
  WriteFile(dir / p.resultsName, kEarlier);
  const ProgramRun run = RunLimited(p.path, {}, dir.path(), {});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_THAT(run.out, ::testing::HasSubstr(std::string("Analysis results written to file ") + p.resultsName + "\n"));
  EXPECT_NE(ReadFile(dir / p.resultsName), kEarlier);
  EXPECT_EQ(Entries(dir.path()), Sorted({p.parameterName, p.resultsName}));
}

std::string ProgramName(const ::testing::TestParamInfo<ProgramCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(BothPrograms, ServiceFailures, ::testing::ValuesIn(kPrograms), ProgramName);

}  // namespace
}  // namespace exc::test
