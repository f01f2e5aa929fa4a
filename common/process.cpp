#include "common/process.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "common/stop.hpp"

namespace exc {

namespace {

// Every signal whose default action ends the process (with a core dump or
// without) and that can be caught: a run may be sent any of them, and each
// would leave a hidden results file behind. The real-time signals follow,
// from SIGRTMIN to SIGRTMAX, which are known only when the program runs.
constexpr int kTerminatingSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
    SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
// Calls `act` with each signal that the guard covers.
template <class Act>
void ForEachTerminatingSignal(Act&& act) {
  for (const int signal : kTerminatingSignals) act(signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) act(signal);
}

// What the run needs of the stack below main, several times what its
// deepest path (a failure thrown from the parameter reader, the results
// written) was measured to take.
constexpr std::size_t kStackNeed = 16 * 1024;

// Read by the signal handlers and the terminate handler, which get no
// argument but the signal's number.
struct LastResort {
  const char* program = "";
  volatile std::sig_atomic_t armed = 0;
  char temporary[PATH_MAX] = {};
  // By signal number.
  bool installed[NSIG] = {};
  struct sigaction previous[NSIG] = {};
};
constinit LastResort lastResort;

void WriteAll(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = ::write(fd, text, left);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      return;
    }
    text += written;
    left -= static_cast<std::size_t>(written);
  }
}

void RemoveArmedTemporary() {
  if (lastResort.armed != 0) ::unlink(lastResort.temporary);
}

extern "C" void OnTerminatingSignal(int signal) {
  RemoveArmedTemporary();
  // SA_RESETHAND has put back the default action, and the signal stays held
  // until this handler returns: then it ends the process as it would have.
  std::raise(signal);
}

// The runtime calls std::terminate without an exception in flight when it
// cannot allocate one, and then memory is still short: a fresh allocation
// of a few pages fails too. (A smaller one could be served from freed
// blocks kept aside for their own size, whatever memory is left.)
bool OutOfMemory() {
  if (std::current_exception() != nullptr) {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return true;
    } catch (...) {
      return false;
    }
  }
  void* probe = std::malloc(4096);
  std::free(probe);
  return probe == nullptr;
}

[[noreturn]] void OnTerminate() {
  RemoveArmedTemporary();
  WriteAll(STDERR_FILENO, lastResort.program);
  WriteAll(STDERR_FILENO, OutOfMemory() ? ": out of memory\n" : ": internal error\n");
  ::_exit(kExitServiceFailure);
}

void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Read-only: on descriptors 1 and 2 every write fails, as it did.
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

// The bytes of stack that the stack size limit leaves below the caller's
// frame, or SIZE_MAX when there is no limit or the stack's top is unknown.
// The stack ends just above the program's file name, the first thing the
// kernel put on it; its environment and arguments lie below that and count
// towards the limit.
std::size_t StackLeft() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  const auto* fileName = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
  if (fileName == nullptr) return SIZE_MAX;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t top = (reinterpret_cast<std::uintptr_t>(fileName) + std::strlen(fileName) + 1 + page - 1) & ~(page - 1);
  // The frame's own address: a sanitizer may keep locals elsewhere.
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (frame >= top) return SIZE_MAX;
  const std::uintptr_t used = top - (frame & ~(page - 1));
  return limit.rlim_cur > used ? static_cast<std::size_t>(limit.rlim_cur - used) : 0;
}

}  // namespace

bool PrepareProcess(const char* program) {
  lastResort.program = program;
  OpenStandardDescriptors();
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGXFSZ, SIG_IGN);
  std::set_terminate(OnTerminate);
  if (StackLeft() < kStackNeed) {
    // Reported now: a stack that overflows later ends the run by a signal,
    // with no word of why.
    char text[128];
    std::snprintf(text, sizeof text, "the stack size limit (ulimit -s) leaves less than the %zu KiB of stack the run needs",
                  kStackNeed / 1024);
    ReportFailure(stdout, stderr, program, text);
    return false;
  }
  return true;
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  ::sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, &previous_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool TemporaryFileGuard::Arm(const char* path) {
  if (armed_ || lastResort.armed != 0 || std::strlen(path) >= sizeof lastResort.temporary) return false;
  std::strcpy(lastResort.temporary, path);
  lastResort.armed = 1;
  armed_ = true;
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  // No second signal interrupts the removal.
  ::sigfillset(&action.sa_mask);
  ForEachTerminatingSignal([&](int signal) {
    struct sigaction& previous = lastResort.previous[signal];
    lastResort.installed[signal] = false;
    // An ignored signal (nohup) stays ignored; a handler of the caller's
    // own stays in charge.
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) return;
    lastResort.installed[signal] = ::sigaction(signal, &action, nullptr) == 0;
  });
  return true;
}

void TemporaryFileGuard::Disarm() {
  if (!armed_) return;
  ForEachTerminatingSignal([](int signal) {
    if (lastResort.installed[signal]) ::sigaction(signal, &lastResort.previous[signal], nullptr);
  });
  lastResort.armed = 0;
  armed_ = false;
}

}  // namespace exc
