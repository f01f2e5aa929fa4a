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

// The diagnostic as one line of plain text: a file name may hold line ends
// or terminal controls, which are written as \xNN.
inline std::string OneLine(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      line.push_back(c);
    } else {
      line.append("\\x").push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 15]);
    }
  }
  return line;
}

// Runs `body` (which prints its own output and returns normally on success)
// and maps the ways a run can end to the console and an exit status.
template <class Body>
int RunGuarded(std::FILE* out, std::FILE* err, const char* program, Body&& body) {
  // Output that never reached the console (a full disk behind a redirect)
  // must not pass for a completed run.
  auto consoleFailed = [&] {
    if (std::fflush(out) == 0 && !std::ferror(out)) return false;
    std::fprintf(err, "%s: cannot write to standard output\n", program);
    return true;
  };
  try {
    std::forward<Body>(body)();
    return consoleFailed() ? kExitServiceFailure : kExitCompleted;
  } catch (const RunStopped& stop) {
    std::fwrite(stop.text.data(), 1, stop.text.size(), out);
    return consoleFailed() ? kExitServiceFailure : kExitStopped;
  } catch (const ServiceFailure& failure) {
    std::fflush(out);
    std::fprintf(err, "%s: %s\n", program, OneLine(failure.what()).c_str());
    return kExitServiceFailure;
  } catch (const std::bad_alloc&) {
    std::fflush(out);
    std::fprintf(err, "%s: out of memory\n", program);
    return kExitServiceFailure;
  }
}

}  // namespace exc
