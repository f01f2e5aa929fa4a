// The process-wide safety nets, each tried in a child process of its own:
// what a signal or the runtime's last resort does to a hidden results file,
// what the last resort reports, held signals, and closed standard
// descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
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

TEST(TemporaryFileGuard, EverySignalThatEndsTheRunRemovesTheHiddenFileFirst) {
  // Those a user, a terminal or a shell sends, those that dump core, and
  // the real-time ones; each still ends the process as itself.
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                              SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGXFSZ,
                              SIGVTALRM, SIGPROF, SIGIO, SIGSYS, SIGSTKFLT, SIGPWR, SIGRTMIN, SIGRTMIN + 1, SIGRTMAX};
  for (const int signal : signals) {
    SCOPED_TRACE(::strsignal(signal));
    test::TempDir dir;
    const std::string name = (dir / "r.DuviZadIru").string();
    test::WriteFile(name, "earlier");
    const int status = InChild([&] {
      const rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
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

TEST(TemporaryFileGuard, AFaultRemovesTheHiddenFileAndStillEndsTheRun) {
  // Not sent but raised by the processor: the handler returns, the faulting
  // access comes again, and the default action ends the process.
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  const int status = InChild([&] {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(SIGSEGV, SIG_DFL);  // a sanitizer's own handler aside
    ResultsFile file(name, ResultsFile::Temporary::Hidden);
    // A page that may not be touched: no sanitizer objects to the access,
    // only the processor.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) ::_exit(3);
    *static_cast<volatile int*>(page) = 1;
    ::_exit(4);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_TRUE(test::Entries(dir.path()).empty());
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

// What the last resort writes on standard error when `cause` ends the
// program by way of std::terminate, with a hidden results file made; that
// file must be gone, and the status must be 2.
std::string LastResortReport(const std::function<void()>& cause) {
  test::TempDir dir;
  const std::string name = (dir / "r.DuviZadIru").string();
  const std::string err = (dir / "err.txt").string();
  const int status = InChild([&] {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    if (!PrepareProcess("prog")) ::_exit(9);
    ResultsFile file(name, ResultsFile::Temporary::Hidden);
    cause();
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"err.txt"});
  return test::ReadFile(err);
}

void Throws(const std::exception& e) noexcept(false) {
  if (const auto* b = dynamic_cast<const std::bad_alloc*>(&e)) throw *b;
  throw std::runtime_error(e.what());
}

// An exception that reaches a noexcept boundary ends the program.
void EscapesNoexcept(const std::exception& e) noexcept { Throws(e); }

TEST(LastResort, NamesOutOfMemoryOnlyForAFailedAllocation) {
  EXPECT_EQ(LastResortReport([] { EscapesNoexcept(std::bad_alloc()); }), "prog: out of memory\n");
  EXPECT_EQ(LastResortReport([] { EscapesNoexcept(std::runtime_error("a fault")); }), "prog: internal error\n");
  EXPECT_EQ(LastResortReport([] { std::terminate(); }), "prog: internal error\n");
#if !defined(__SANITIZE_ADDRESS__)
  // With memory exhausted the runtime cannot allocate the exception it was
  // to throw, and calls std::terminate with none in flight.
  EXPECT_EQ(LastResortReport([] {
              rlimit limit{};
              ::getrlimit(RLIMIT_AS, &limit);
              const rlimit tight{256u << 20, limit.rlim_max};
              ::setrlimit(RLIMIT_AS, &tight);
              // Kept where the compiler must assume it is read, so that the
              // allocations are made.
              void* volatile kept = nullptr;
              for (std::size_t size = std::size_t{1} << 28; size >= 8; size /= 2) {
                do {
                  kept = std::malloc(size);
                } while (kept != nullptr);
              }
              std::terminate();
            }),
            "prog: out of memory\n");
#endif
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
    if (!PrepareProcess("prog")) ::_exit(9);
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd == 1) ::_exit(3);
    if (::write(1, "x", 1) >= 0) ::_exit(4);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace exc
