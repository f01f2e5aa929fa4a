// Helpers for the end-to-end tests: run a built program in a temporary
// directory and read back what it printed and wrote.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace exc::test {

// The two built programs and what each calls its files by default.
enum class Program { Simulator, Calculator };

void PrintTo(Program program, std::ostream* os);
const char* PathOf(Program program);
const char* NameOf(Program program);  // as it starts its diagnostics
std::string DefaultName(Program program);
std::string DefaultResultsName(Program program);

struct ProgramRun {
  int status = -1;  // the exit status, or 128 + the signal that ended the program
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The unprivileged account the permission tests run the programs as.
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNoGroup = 65534;

// Drops root for the permission tests; false when that cannot be done.
bool DropPrivileges();

// Makes `dir` one the unprivileged program can work in; nullopt when it can,
// else the reason this machine cannot give the tests ordinary permissions.
std::optional<std::string> PrepareUnprivileged(const std::filesystem::path& dir, const char* programPath);

struct Limits {
  // Run with ordinary permissions: as nobody when the tests run as root,
  // whom permission bits do not stop.
  bool unprivileged = false;
  rlim_t fileSize = RLIM_INFINITY;      // largest file the program may write
  rlim_t addressSpace = RLIM_INFINITY;  // ulimit -v, in bytes
  bool ignoreFileSizeSignal = false;    // as a shell with `ulimit -f` leaves it: not ignored
  const char* stdinPath = nullptr;      // standard input from this file instead of /dev/null
  const char* stdoutPath = nullptr;     // standard output to this file instead of a pipe
  bool closeStdout = false;             // standard output closed altogether
  mode_t umask = 022;
  int timeoutSeconds = 120;             // a run that hangs is killed and fails
  // Sends `signal` once `signalAfterMs` have passed, or, with
  // `signalOnEntryIn`, as soon as a new entry appears in that directory, or,
  // with `signalOnOutput`, as soon as standard output holds that text.
  int signal = 0;
  int signalAfterMs = -1;
  const char* signalOnEntryIn = nullptr;
  const char* signalOnOutput = nullptr;
  rlim_t stackSize = RLIM_INFINITY;  // ulimit -s, in bytes; unchanged when infinite
};

// Runs `program` with `args` in `workingDir`, without a shell, under `limits`.
ProgramRun RunLimited(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& workingDir, const Limits& limits);

// RunLimited with no limits but the timeout.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& workingDir);

std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& text);

// An earlier results file, which a failed run must leave byte for byte.
inline const std::string kEarlierResults = " NLoci           1\r\n     1  0.12345678\r\n";

// Status 2 and one line on standard error, started by the program's name
// (as `programName`), naming `what`.
void ExpectOneDiagnostic(const ProgramRun& run, const char* programName, const std::string& what);

// The names in a directory, sorted.
std::vector<std::string> Entries(const std::filesystem::path& dir);

// The console with the elapsed-time figure (the last 9 characters before the
// final line feed) replaced by '#', the one part that varies between runs.
std::string MaskElapsed(std::string console);

// A file under tests/data.
std::filesystem::path DataPath(const std::string& relative);

}  // namespace exc::test
