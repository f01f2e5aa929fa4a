// How a run ends early. The library never calls exit(): it throws one of these
// and the program's main turns it into output and an exit status, which keeps
// every stop testable in-process.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace exc {

inline constexpr int kExitCompleted = 0;
inline constexpr int kExitStopped = 1;         // a message of the program's own checks
inline constexpr int kExitServiceFailure = 2;  // the file or memory services failed

// A stop made by the program's own checks. `text` holds the console records,
// each already ended by a line feed, exactly as they go to standard output.
struct RunStopped : std::runtime_error {
  explicit RunStopped(std::string records)
      : std::runtime_error("run stopped"), text(std::move(records)) {}
  std::string text;
};

// A failure of the file or memory services; `what()` is the one-line
// diagnostic for standard error.
struct ServiceFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Ends the run with the given console records, each printed as one line.
[[noreturn]] void StopWithMessage(std::initializer_list<std::string_view> records);

// Writes console output and flushes it at once. Output that does not reach
// the console ends the run there (ServiceFailure), before the results file
// is touched: a run whose progress cannot be shown must not go on for hours
// and then replace an earlier results file.
void WriteConsole(std::FILE* out, std::string_view text);

// "program: diagnostic" as one line on `err`, a file name's line ends and
// terminal controls written as \xNN. Allocates nothing: it also reports
// running out of memory.
void ReportFailure(std::FILE* out, std::FILE* err, const char* program, std::string_view diagnostic);

// False after output to `out` was lost (a full disk behind a redirect), which
// must not pass for a completed run; then the failure is reported.
bool ConsoleIntact(std::FILE* out, std::FILE* err, const char* program);

// Runs `body` (which prints its own output and returns normally on success)
// and maps the ways a run can end to the console and an exit status.
template <class Body>
int RunGuarded(std::FILE* out, std::FILE* err, const char* program, Body&& body) {
  try {
    std::forward<Body>(body)();
    return ConsoleIntact(out, err, program) ? kExitCompleted : kExitServiceFailure;
  } catch (const RunStopped& stop) {
    std::fwrite(stop.text.data(), 1, stop.text.size(), out);
    return ConsoleIntact(out, err, program) ? kExitStopped : kExitServiceFailure;
  } catch (const ServiceFailure& failure) {
    ReportFailure(out, err, program, failure.what());
  } catch (const std::bad_alloc&) {
    ReportFailure(out, err, program, "out of memory");
  }
  return kExitServiceFailure;
}

}  // namespace exc
