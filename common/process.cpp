#include "common/process.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>

#include "common/stop.hpp"

namespace exc {

namespace {

// The signals whose default action ends the process and that a user, a
// terminal or a shell sends to a run.
constexpr int kTerminatingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGPIPE, SIGALRM,
                                       SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
constexpr int kSignalCount = static_cast<int>(sizeof kTerminatingSignals / sizeof kTerminatingSignals[0]);

// Generous for the deepest call chain of a run, printf's conversions and an
// exception's unwinding included.
constexpr std::size_t kStackReserve = 256 * 1024;

// Read by the signal handlers and the terminate handler, which get no
// argument but the signal's number.
struct LastResort {
  const char* program = "";
  volatile std::sig_atomic_t armed = 0;
  char temporary[PATH_MAX] = {};
  bool installed[kSignalCount] = {};
  struct sigaction previous[kSignalCount] = {};
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

[[noreturn]] void OnTerminate() {
  RemoveArmedTemporary();
  WriteAll(STDERR_FILENO, lastResort.program);
  WriteAll(STDERR_FILENO, ": out of memory\n");
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

__attribute__((noinline)) void TakeStack() {
  char pages[kStackReserve];
  // From the top down: the stack grows towards lower addresses.
  for (std::size_t at = kStackReserve; at >= 4096; at -= 4096) pages[at - 1] = 0;
  pages[0] = 0;
  // The writes must stay: the compiler has to assume this reads them.
  asm volatile("" : : "r"(pages) : "memory");
}

}  // namespace

void PrepareProcess(const char* program) {
  lastResort.program = program;
  OpenStandardDescriptors();
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGXFSZ, SIG_IGN);
  TakeStack();
  std::set_terminate(OnTerminate);
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
  ::sigemptyset(&action.sa_mask);
  for (const int signal : kTerminatingSignals) ::sigaddset(&action.sa_mask, signal);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction& previous = lastResort.previous[i];
    lastResort.installed[i] = false;
    // An ignored signal (nohup) stays ignored; a handler of the caller's
    // own stays in charge.
    if (::sigaction(kTerminatingSignals[i], nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) continue;
    lastResort.installed[i] = ::sigaction(kTerminatingSignals[i], &action, nullptr) == 0;
  }
  return true;
}

void TemporaryFileGuard::Disarm() {
  if (!armed_) return;
  for (int i = 0; i < kSignalCount; ++i)
    if (lastResort.installed[i]) ::sigaction(kTerminatingSignals[i], &lastResort.previous[i], nullptr);
  lastResort.armed = 0;
  armed_ = false;
}

}  // namespace exc
