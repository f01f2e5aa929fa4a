// The process-wide safety nets, each tried in a child process of its own:
// what a signal or the runtime's last resort does to a hidden results file,
// held signals, and closed standard descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "common/process.hpp"
#include "common/results.hpp"
#include "e2e_support.hpp"

namespace exc {
namespace {

// Runs `child` in a forked process and returns its wait status.
int InChild(const std::function<void()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    child();
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST(TemporaryFileGuard, ASignalThatEndsTheRunRemovesTheHiddenFileFirst) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(signal);
    test::TempDir dir;
    const std::string name = (dir / "r.DuviZadIru").string();
    test::WriteFile(name, "earlier");
    const int status = InChild([&] {
      ::signal(signal, SIG_DFL);
      ResultsFile file(name, ResultsFile::Temporary::Hidden);
      if (test::Entries(dir.path()).size() != 2) ::_exit(3);  // the hidden file is there
      ::raise(signal);
      ::_exit(4);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"r.DuviZadIru"});
    EXPECT_EQ(test::ReadFile(name), "earlier");
  }
}

TEST(TemporaryFileGuard, AnIgnoredSignalStaysIgnored) {
  // As under nohup: the hang-up changes nothing, the run goes on.
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  const int status = InChild([&] {
    ::signal(SIGHUP, SIG_IGN);
    ResultsFile file(name, ResultsFile::Temporary::Hidden);
    ::raise(SIGHUP);
    WriteResultsFile(file, ResultsMatrix({1, 1}, {1, 1}));
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"r.DuviZadIru"});
}

TEST(LastResort, TheRuntimeGivingUpIsOutOfMemoryWithStatusTwo) {
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  const std::string err = (dir / "err.txt").string();
  const int status = InChild([&] {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    PrepareProcess("prog");
    ResultsFile file(name, ResultsFile::Temporary::Hidden);
    std::terminate();
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(test::ReadFile(err), "prog: out of memory\n");
  EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"err.txt"});
}

TEST(SignalsHeld, ASignalTakesEffectWhenTheyEnd) {
  test::TempDir dir;
  const std::string marker = (dir / "marker").string();
  const int status = InChild([&] {
    ::signal(SIGINT, SIG_DFL);
    {
      SignalsHeld held;
      ::raise(SIGINT);
      test::WriteFile(marker, "still running");
    }
    ::_exit(5);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(test::ReadFile(marker), "still running");
}

TEST(PrepareProcess, AClosedStandardOutputStaysUnwritable) {
  // Closed, descriptor 1 would be the next file opened, and console output
  // would land in it.
  const int status = InChild([] {
    ::close(1);
    PrepareProcess("prog");
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd == 1) ::_exit(3);
    if (::write(1, "x", 1) >= 0) ::_exit(4);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace exc
