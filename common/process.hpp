// Safety nets for the whole process. They act where no caller can hand them
// anything (a signal arriving, the runtime giving up), so what they need is
// the programs' one piece of process-wide state.
#pragma once

#include <signal.h>

namespace exc {

// Called once by each program's main before anything else:
// - file descriptors 0, 1 and 2 are made to exist, so that no file the run
//   opens takes the place of a closed standard stream: a closed standard
//   output then fails to write, as it should, instead of writing elsewhere;
// - a file-size limit (ulimit -f) makes a write fail with an error the run
//   reports, instead of killing it;
// - when the runtime gives up (std::terminate), the program reports "out of
//   memory" when it could not allocate, "internal error" otherwise, on
//   standard error and ends with the service-failure status;
// - a stack size limit (ulimit -s) that leaves less stack than the run needs
//   is reported on standard error, and then the result is false: the program
//   ends with the service-failure status instead of overflowing its stack
//   later. No stack is taken ahead: the kernel maps the first 128 KiB of
//   the stack at the start, far more than the run takes, so its growth never
//   meets an address-space limit (ulimit -v).
[[nodiscard]] bool PrepareProcess(const char* program);

// Holds every signal that can be held for as long as it lives; a signal that
// arrives meanwhile takes effect when it ends. Naming a file in two steps
// (a link, then a rename) is one step for an interrupt.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// While armed with a file's path, any signal whose default action ends the
// process (interrupt, hang-up, termination, abort, a fault, the real-time
// signals...) first removes that file, and so does the runtime's last
// resort; the signal then ends the process as it would have, with its core
// dump where it makes one. SIGKILL alone cannot be caught. One guard at a
// time; arm and disarm it with the signals held, together with creating and
// removing or renaming the file.
class TemporaryFileGuard {
 public:
  TemporaryFileGuard() = default;
  ~TemporaryFileGuard() { Disarm(); }
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

  // False when the path is too long to keep, or another guard is armed.
  bool Arm(const char* path);
  void Disarm();

 private:
  bool armed_ = false;
};

}  // namespace exc
