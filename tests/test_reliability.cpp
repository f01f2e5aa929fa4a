// How both built programs end when something around a run goes wrong: an
// interrupt, a console that cannot be written, a results file that cannot be
// made, a write-protected earlier file, memory running short. Whatever
// happens, the directory holds what it held before or the complete new
// results file and nothing else, a failure is one diagnostic line with
// status 2, and it comes before the work rather than after it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace exc::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string& kEarlier = kEarlierResults;

// A parameter file of the program with two equal alleles and the given
// ranges; the simulator's haplodiploid with free recombination.
std::string Parameters(Program program, const std::string& loci, const std::string& aunts, std::int64_t nRep = 1) {
  if (program == Program::Simulator)
    return "0\n2\n0.5 0.5\n" + loci + "\n" + aunts + "\n5\n" + std::to_string(nRep) + "\n999\n";
  return "2\n0.5 0.5\n" + loci + "\n" + aunts + "\n";
}

// About a tenth of a second of pairs, with a results file of a few hundred
// kilobytes.
std::string ShortRun(Program program) {
  return program == Program::Simulator ? Parameters(program, "1 2", "1 10000", 40) : Parameters(program, "1 3", "1 40000");
}

// A run of many seconds, were it let go on.
std::string LongRun(Program program) {
  return program == Program::Simulator ? Parameters(program, "1 1000", "1 1000", 2000000000)
                                       : Parameters(program, "1 2000", "1 2000");
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Reliability : public ::testing::TestWithParam<Program> {
 protected:
  Program program() const { return GetParam(); }
  std::string parameterName() const { return DefaultName(program()); }
  std::string resultsName() const { return DefaultResultsName(program()); }
  // The entries of a directory that holds the parameter and results files.
  std::vector<std::string> bothFiles() const {
    std::vector<std::string> names = {parameterName(), resultsName()};
    std::sort(names.begin(), names.end());
    return names;
  }

  // A directory with the parameter file and, when `earlier`, an earlier
  // results file.
  void Prepare(const TempDir& dir, const std::string& parameters, bool earlier) const {
    WriteFile(dir / parameterName(), parameters);
    if (earlier) WriteFile(dir / resultsName(), kEarlier);
  }
};

TEST_P(Reliability, InterruptsLeaveTheEarlierOrTheCompleteResults) {
  std::string complete;
  double seconds = 0.0;
  {
    TempDir dir;
    Prepare(dir, ShortRun(program()), false);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunLimited(PathOf(program()), {}, dir.path(), {.stdoutPath = "/dev/null"}).status, 0);
    seconds = SecondsSince(start);
    complete = ReadFile(dir / resultsName());
  }
  const int runMs = static_cast<int>(seconds * 1000.0) + 1;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const bool earlier : {true, false}) {
      if (!earlier && signal != SIGINT) continue;
      // At moments across the whole run and a little beyond it, and at the
      // moment a new entry appears beside the results file (-1).
      for (int step = -1; step <= 12; step += step < 0 ? 1 : 2) {
        SCOPED_TRACE("signal " + std::to_string(signal) + (earlier ? ", earlier results" : ", no earlier results") +
                     ", moment " + std::to_string(step));
        TempDir dir;
        Prepare(dir, ShortRun(program()), earlier);
        Limits limits{.stdoutPath = "/dev/null", .signal = signal};
        if (step < 0) {
          limits.signalOnEntryIn = dir.path().c_str();
        } else {
          limits.signalAfterMs = runMs * step / 10;
        }
        const ProgramRun run = RunLimited(PathOf(program()), {}, dir.path(), limits);
        EXPECT_THAT(run.status, ::testing::AnyOf(0, 128 + signal));
        const std::vector<std::string> entries = Entries(dir.path());
        if (entries.size() == 2) {
          const std::string results = ReadFile(dir / resultsName());
          EXPECT_TRUE(results == complete || (earlier && results == kEarlier))
              << "results of " << results.size() << " bytes";
          if (run.status == 0) {
            EXPECT_EQ(results, complete);
          }
        } else {
          EXPECT_EQ(entries, std::vector<std::string>{parameterName()});
          EXPECT_FALSE(earlier);
          EXPECT_NE(run.status, 0);
        }
      }
    }
  }
}

TEST_P(Reliability, ConsoleFailuresEndTheRunBeforeTheResultsAreTouched) {
  struct Console {
    const char* what;
    const char* stdoutPath;
    bool closed;
    rlim_t fileSize;
  };
  TempDir elsewhere;
  const std::string consoleFile = (elsewhere / "console.txt").string();
  // The file-size limit stands for a full disk: the first records fit, a
  // later one does not.
  for (const Console& console : {Console{"/dev/full", "/dev/full", false, RLIM_INFINITY},
                                 Console{"closed", nullptr, true, RLIM_INFINITY},
                                 Console{"full disk", consoleFile.c_str(), false, 60}}) {
    SCOPED_TRACE(console.what);
    TempDir dir;
    Prepare(dir, LongRun(program()), true);
    // Status 2 rather than the hang guard's kill: the run ended by itself.
    const ProgramRun run = RunLimited(
        PathOf(program()), {}, dir.path(),
        {.fileSize = console.fileSize, .stdoutPath = console.stdoutPath, .closeStdout = console.closed, .timeoutSeconds = 120});
    ExpectOneDiagnostic(run, NameOf(program()), "cannot write to standard output");
    EXPECT_EQ(ReadFile(dir / resultsName()), kEarlier);
    EXPECT_EQ(Entries(dir.path()), bothFiles());
  }
}

// Each of these runs would take hours: ending by itself with nothing on the
// console (not even the first pair's line) and status 2, it ended before
// the first pair.
TEST_P(Reliability, AResultsFileThatCannotBeMadeEndsTheRunAtOnce) {
  {
    SCOPED_TRACE("a results name too long for the file system");
    TempDir dir;
    const std::string stem(248, 'p');
    WriteFile(dir / (stem + ".txt"), LongRun(program()));
    const ProgramRun run = RunLimited(PathOf(program()), {stem + ".txt"}, dir.path(), {.timeoutSeconds = 120});
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, NameOf(program()), stem + ".DuviZadIru");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{stem + ".txt"});
  }
  {
    // The parameter file is read through the descriptor's name; the results
    // would go beside it, where no file can be made.
    SCOPED_TRACE("a parameter file named /dev/fd/0");
    TempDir dir;
    WriteFile(dir / "p.txt", LongRun(program()));
    const std::string input = (dir / "p.txt").string();
    const ProgramRun run =
        RunLimited(PathOf(program()), {"/dev/fd/0"}, dir.path(), {.stdinPath = input.c_str(), .timeoutSeconds = 120});
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, NameOf(program()), "/dev/fd/0.DuviZadIru");
  }
  {
    SCOPED_TRACE("a directory the user may not write");
    TempDir dir;
    fs::create_directory(dir / "runs");
    WriteFile(dir / "runs" / parameterName(), LongRun(program()));
    if (const auto reason = PrepareUnprivileged(dir.path(), PathOf(program()))) GTEST_SKIP() << *reason;
    fs::permissions(dir / "runs", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const ProgramRun run = RunLimited(PathOf(program()), {"runs/" + parameterName()}, dir.path(),
                                      {.unprivileged = true, .timeoutSeconds = 120});
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, NameOf(program()), "runs/" + resultsName());
  }
}

TEST_P(Reliability, TheEarlierFilesPermissionsAreRespected) {
  TempDir dir;
  Prepare(dir, Parameters(program(), "1 2", "1 2", 10), true);
  if (const auto reason = PrepareUnprivileged(dir.path(), PathOf(program()))) GTEST_SKIP() << *reason;
  const fs::path results = dir / resultsName();
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(results.c_str(), kNobody, kNoGroup), 0);
  }
  {
    // Private results stay private.
    ASSERT_EQ(::chmod(results.c_str(), 0600), 0);
    const ProgramRun run = RunLimited(PathOf(program()), {}, dir.path(), {.unprivileged = true});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat status {};
    ASSERT_EQ(::stat(results.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(ReadFile(results), kEarlier);
  }
  {
    // A write-protected file is not replaced, as writing it would fail.
    WriteFile(results, kEarlier);
    ASSERT_EQ(::chmod(results.c_str(), 0444), 0);
    const ProgramRun run = RunLimited(PathOf(program()), {}, dir.path(), {.unprivileged = true});
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, NameOf(program()), resultsName());
    EXPECT_THAT(run.err, HasSubstr("Permission denied"));
    EXPECT_EQ(ReadFile(results), kEarlier);
    EXPECT_EQ(Entries(dir.path()), bothFiles());
  }
  {
    // A directory that may be written but not read: the file is made and
    // named there, though its directory cannot be opened to be synced.
    const fs::path runs = dir / "runs";
    fs::create_directory(runs);
    WriteFile(runs / parameterName(), Parameters(program(), "1 2", "1 2", 10));
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(runs.c_str(), kNobody, kNoGroup), 0);
    }
    ASSERT_EQ(::chmod(runs.c_str(), 0300), 0);
    const ProgramRun run = RunLimited(PathOf(program()), {"runs/" + parameterName()}, dir.path(), {.unprivileged = true});
    ASSERT_EQ(::chmod(runs.c_str(), 0700), 0);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(ReadFile(runs / resultsName()), StartsWith(" NLoci"));
    EXPECT_EQ(Entries(runs), bothFiles());
  }
}

TEST_P(Reliability, ALinkAtTheResultsNameIsReplacedAndItsTargetLeftAlone) {
  // The rename replaces the link, so the link is what is judged: the
  // directory decides, the target is never read, written or made.
  TempDir dir;
  Prepare(dir, Parameters(program(), "1 2", "1 2", 10), false);
  fs::create_directory(dir / "elsewhere");
  if (const auto reason = PrepareUnprivileged(dir.path(), PathOf(program()))) GTEST_SKIP() << *reason;
  const fs::path results = dir / resultsName();
  const fs::path target = dir / "elsewhere" / "target.txt";
  struct Case {
    const char* what;
    bool targetExists;
    mode_t targetMode;
  };
  for (const Case& c : {Case{"a link to a file", true, 0666}, Case{"a link to a write-protected file", true, 0444},
                        Case{"a dangling link", false, 0}}) {
    SCOPED_TRACE(c.what);
    fs::remove(results);
    fs::remove(target);
    if (c.targetExists) {
      WriteFile(target, kEarlier);
      ASSERT_EQ(::chmod(target.c_str(), c.targetMode), 0);
    }
    fs::create_symlink(target, results);
    const ProgramRun run = RunLimited(PathOf(program()), {}, dir.path(), {.unprivileged = true});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat status {};
    ASSERT_EQ(::lstat(results.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0644u);  // the usual mode under umask 022
    EXPECT_THAT(ReadFile(results), StartsWith(" NLoci"));
    if (c.targetExists) {
      EXPECT_EQ(ReadFile(target), kEarlier);
      ASSERT_EQ(::stat(target.c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, c.targetMode);
    } else {
      EXPECT_FALSE(fs::exists(target));
    }
    std::vector<std::string> entries = bothFiles();
    entries.push_back("elsewhere");  // sorted after the capitals
    EXPECT_EQ(Entries(dir.path()), entries);
  }
}

TEST_P(Reliability, AnEntryTheRenameCannotReplaceIsRefusedAtOnce) {
  // In a sticky directory, as a shared /tmp is, another user's entry at the
  // results name cannot be replaced, though its file may be writable.
  if (::geteuid() != 0) GTEST_SKIP() << "needs a second user: run as root, the tests run the program as nobody";
  TempDir dir;
  if (const auto reason = PrepareUnprivileged(dir.path(), PathOf(program()))) GTEST_SKIP() << *reason;
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  WriteFile(shared / parameterName(), LongRun(program()));
  const fs::path results = shared / resultsName();
  const std::string argument = "shared/" + parameterName();
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "another user's link" : "another user's writable file");
    fs::remove(results);
    WriteFile(dir / "earlier.txt", kEarlier);
    if (link) {
      fs::create_symlink(dir / "earlier.txt", results);
    } else {
      WriteFile(results, kEarlier);
      ASSERT_EQ(::chmod(results.c_str(), 0666), 0);
    }
    // A run of hours that ends by itself, with nothing printed: refused
    // before the first pair.
    const ProgramRun run = RunLimited(PathOf(program()), {argument}, dir.path(), {.unprivileged = true, .timeoutSeconds = 120});
    EXPECT_EQ(run.out, "");
    ExpectOneDiagnostic(run, NameOf(program()), "shared/" + resultsName());
    EXPECT_THAT(run.err, HasSubstr("Operation not permitted"));
    EXPECT_EQ(fs::is_symlink(results), link);
    EXPECT_EQ(ReadFile(results), kEarlier);
    EXPECT_EQ(Entries(shared), bothFiles());
  }
  // The user's own entry there is replaced as anywhere.
  fs::remove(results);
  WriteFile(shared / parameterName(), Parameters(program(), "1 2", "1 2", 10));
  WriteFile(results, kEarlier);
  ASSERT_EQ(::chown(results.c_str(), kNobody, kNoGroup), 0);
  const ProgramRun run = RunLimited(PathOf(program()), {argument}, dir.path(), {.unprivileged = true});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(ReadFile(results), StartsWith(" NLoci"));
}

TEST_P(Reliability, TheResultsNameIsFormedInTheFilesOwnName) {
  TempDir dir;
  const std::string parameters = Parameters(program(), "1 1", "1 1", 10);
  fs::create_directories(dir / "run.v2");
  WriteFile(dir / "run.v2" / "params", parameters);
  ProgramRun run = RunProgram(PathOf(program()), {"run.v2/params"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\nAnalysis results written to file run.v2/params.DuviZadIru\n"));
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"run.v2"});
  EXPECT_EQ(Entries(dir / "run.v2"), (std::vector<std::string>{"params", "params.DuviZadIru"}));

  run = RunProgram(PathOf(program()), {"./run.v2/../run.v2/params"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\nAnalysis results written to file ./run.v2/../run.v2/params.DuviZadIru\n"));
  EXPECT_EQ(Entries(dir / "run.v2"), (std::vector<std::string>{"params", "params.DuviZadIru"}));
}

TEST_P(Reliability, ANameThatNamesNoFileDoesNotExist) {
  TempDir dir;
  const std::string longName(1200, 'x');
  fs::create_symlink("loop", dir / "loop");
  WriteFile(dir / "plain", "");
  // Cut to 999 characters, more than a file name may have; a loop of links;
  // a file where a directory should be.
  for (const auto& [argument, shown] : std::vector<std::pair<std::string, std::string>>{
           {longName, std::string(999, 'x')}, {"loop", "loop"}, {"plain/p.txt", "plain/p.txt"}}) {
    SCOPED_TRACE(shown.substr(0, 20));
    const ProgramRun run = RunProgram(PathOf(program()), {argument}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Parameter file, " + shown + ", does not exist!\nProgram stops!\n");
    EXPECT_EQ(run.err, "");
  }
}

TEST_P(Reliability, ValuesOfAnyLengthAreRead) {
  const std::string zeros(4000, '0');
  // The same values as the short file, each written thousands of characters
  // long: leading zeros, trailing zeros, long exponents.
  std::string plain;
  std::string padded;
  if (program() == Program::Simulator) {
    plain = "1\n3\n0.5 0.25 0.25\n2 3\n1 2\n-7\n500\n2.5\n";
    padded = zeros + "1\n+" + zeros + "3\n0.5" + zeros + " 25" + zeros + "e-" + zeros + "4002 0." + zeros + "25e" +
             zeros + "4000\n" + zeros + "2 " + zeros + "3\n" + zeros + "1, " + zeros + "2\n-" + zeros + "7\n" + zeros +
             "500\n2.5" + zeros + "\n";
  } else {
    plain = "3\n0.5 0.25 0.25\n2 3\n1 2\n";
    padded = "+" + zeros + "3\n" + zeros + "0.5" + zeros + " 25" + zeros + "e-" + zeros + "4002 0." + zeros + "25e" + zeros +
             "4000\n" + zeros + "2 " + zeros + "3\n" + zeros + "1, " + zeros + "2\n";
  }
  std::vector<std::string> consoles;
  std::vector<std::string> results;
  for (const std::string& text : {plain, padded}) {
    TempDir dir;
    WriteFile(dir / parameterName(), text);
    const ProgramRun run = RunProgram(PathOf(program()), {}, dir.path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    consoles.push_back(MaskElapsed(run.out));
    results.push_back(ReadFile(dir / resultsName()));
  }
  EXPECT_GT(padded.size(), 40000u);
  EXPECT_EQ(consoles[1], consoles[0]);
  EXPECT_EQ(results[1], results[0]);
}

TEST_P(Reliability, MemoryRunningShortEndsWithADiagnostic) {
#if !EXC_PROGRAMS_STATIC
  GTEST_SKIP() << "dynamically linked programs: the loader alone needs more than the smallest limits";
#else
  // Storage of a few megabytes and hardly any work: the simulator's arrays
  // for 80000 loci and one replicate; the calculator's tables for 200000
  // loci, with a single allele, which leaves no terms to sum.
  const std::string parameters = program() == Program::Simulator ? "1\n2\n0.5 0.5\n80000 80000\n1 1\n5\n1\n999\n"
                                                                  : "2\n1.0 0.0\n200000 200000\n1 1\n";
  TempDir reference;
  Prepare(reference, parameters, false);
  const std::string console = (reference / "console.txt").string();
  ASSERT_EQ(RunLimited(PathOf(program()), {}, reference.path(), {.stdoutPath = console.c_str()}).status, 0);
  const std::string completeConsole = MaskElapsed(ReadFile(console));
  const std::string completeResults = ReadFile(reference / resultsName());
  int completed = 0;
  int failed = 0;
  for (rlim_t kilobytes = 3 * 1024; kilobytes <= 9 * 1024; kilobytes += 64) {
    SCOPED_TRACE(std::to_string(kilobytes) + " kB");
    TempDir dir;
    Prepare(dir, parameters, true);
    TempDir elsewhere;
    const std::string output = (elsewhere / "console.txt").string();
    const ProgramRun run =
        RunLimited(PathOf(program()), {}, dir.path(), {.addressSpace = kilobytes * 1024, .stdoutPath = output.c_str()});
    if (run.status == 0) {
      ++completed;
      EXPECT_EQ(MaskElapsed(ReadFile(output)), completeConsole);
      EXPECT_EQ(ReadFile(dir / resultsName()), completeResults);
    } else {
      ++failed;
      ExpectOneDiagnostic(run, NameOf(program()), "memory");
      // Everything is taken before the first pair.
      EXPECT_EQ(ReadFile(output), "");
      EXPECT_EQ(ReadFile(dir / resultsName()), kEarlier);
    }
    EXPECT_EQ(Entries(dir.path()), bothFiles());
  }
  // The sweep crossed from too little memory to enough.
  EXPECT_GT(completed, 0);
  EXPECT_GT(failed, 0);
#endif
}

TEST_P(Reliability, ASmallStackLimitEndsWithADiagnosticNotASignal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs far more stack than the programs";
#else
  // A run through the linked gamete, beyond 64 loci on the simulator's
  // side, and a stop by the checks, whose message is thrown.
  struct Kind {
    const char* what;
    std::string parameters;
    int status;
  };
  const std::vector<Kind> kinds = {
      {"a completed run",
       program() == Program::Simulator ? "1\n3\n0.5 0.3 0.2\n60 70\n1 2\n5\n200\n2\n" : "3\n0.5 0.3 0.2\n1 30\n1 3\n", 0},
      {"a stop by the checks", program() == Program::Simulator ? "1\n3\n0.5 0.3 0.3\n" : "3\n0.5 0.3 0.3\n", 1}};
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.what);
    TempDir reference;
    Prepare(reference, kind.parameters, false);
    const ProgramRun complete = RunProgram(PathOf(program()), {}, reference.path());
    ASSERT_EQ(complete.status, kind.status) << complete.err;
    const std::string completeResults = kind.status == 0 ? ReadFile(reference / resultsName()) : "";
    int completed = 0;
    int refused = 0;
    std::vector<rlim_t> kilobytes;
    for (rlim_t k = 16; k <= 64; k += 4) kilobytes.push_back(k);
    kilobytes.insert(kilobytes.end(), {96u, 128u, 256u, 1024u, 8192u});
    for (const rlim_t k : kilobytes) {
      SCOPED_TRACE(std::to_string(k) + " KiB");
      TempDir dir;
      Prepare(dir, kind.parameters, true);
      const ProgramRun run = RunLimited(PathOf(program()), {}, dir.path(), {.stackSize = k * 1024});
      if (run.status == kind.status) {
        ++completed;
        EXPECT_EQ(MaskElapsed(run.out), MaskElapsed(complete.out));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadFile(dir / resultsName()), kind.status == 0 ? completeResults : kEarlier);
      } else {
        ++refused;
        ExpectOneDiagnostic(run, NameOf(program()), "stack size limit");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadFile(dir / resultsName()), kEarlier);
      }
      EXPECT_EQ(Entries(dir.path()), bothFiles());
    }
    // The sweep crossed from too little stack to enough.
    EXPECT_GT(completed, 0);
    EXPECT_GT(refused, 0);
  }
#endif
}

std::string ProgramLabel(const ::testing::TestParamInfo<Program>& info) { return NameOf(info.param); }

INSTANTIATE_TEST_SUITE_P(BothPrograms, Reliability, ::testing::Values(Program::Simulator, Program::Calculator),
                         ProgramLabel);

}  // namespace
}  // namespace exc::test
