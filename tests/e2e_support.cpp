#include "e2e_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace exc::test {

void PrintTo(Program program, std::ostream* os) { *os << NameOf(program); }
const char* PathOf(Program program) { return program == Program::Simulator ? EXCSIM_PATH : EXCCALC_PATH; }
const char* NameOf(Program program) { return program == Program::Simulator ? "excsim" : "exccalc"; }
std::string DefaultName(Program program) { return program == Program::Simulator ? "SimParameter.txt" : "Parameter.txt"; }
std::string DefaultResultsName(Program program) {
  return program == Program::Simulator ? "SimParameter.DuviZadIru" : "Parameter.DuviZadIru";
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "exc-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may have made entries unreadable; give them back before removal.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec))
    if (entry.is_directory(ec))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool DropPrivileges() {
  if (::geteuid() != 0) return true;
  return ::setgroups(0, nullptr) == 0 && ::setgid(kNoGroup) == 0 && ::setuid(kNobody) == 0;
}

std::optional<std::string> PrepareUnprivileged(const std::filesystem::path& dir, const char* programPath) {
  if (::geteuid() != 0) return std::nullopt;
  if (::chown(dir.c_str(), kNobody, kNoGroup) != 0) return std::string("cannot hand the directory to nobody");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool usable = DropPrivileges() && ::access(programPath, X_OK) == 0 && ::access(dir.c_str(), W_OK | X_OK) == 0;
    ::_exit(usable ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string("cannot run the program as an unprivileged user here");
  return std::nullopt;
}

namespace {

// In the child between fork and exec: says what failed and ends with 127.
[[noreturn]] void ChildFails(const char* what) {
  const char* reason = std::strerror(errno);
  const ssize_t ignored1 = ::write(2, what, std::strlen(what));
  const ssize_t ignored2 = ::write(2, reason, std::strlen(reason));
  (void)ignored1;
  (void)ignored2;
  ::_exit(127);
}

[[noreturn]] void StartChild(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& workingDir, const Limits& limits, int outWrite, int errWrite) {
  if (::chdir(workingDir.c_str()) != 0) ChildFails("test child: chdir: ");
  int outFd = outWrite;
  if (limits.stdoutPath != nullptr && (outFd = ::open(limits.stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0)
    ChildFails("test child: open standard output: ");
  const int inFd = ::open(limits.stdinPath != nullptr ? limits.stdinPath : "/dev/null", O_RDONLY);
  if (inFd < 0) ChildFails("test child: open standard input: ");
  if (::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errWrite, 2) < 0) ChildFails("test child: dup2: ");
  if (limits.closeStdout) ::close(1);
  // Nothing else stays open in the program.
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  ::umask(limits.umask);
  ::signal(SIGXFSZ, limits.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
  if (limits.fileSize != RLIM_INFINITY) {
    const rlimit limit{limits.fileSize, limits.fileSize};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ChildFails("test child: setrlimit: ");
  }
  if (limits.unprivileged && !DropPrivileges()) ChildFails("test child: drop privileges: ");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (limits.stackSize != RLIM_INFINITY) {
    const rlimit limit{limits.stackSize, limits.stackSize};
    if (::setrlimit(RLIMIT_STACK, &limit) != 0) ChildFails("test child: setrlimit: ");
  }
  // Last, so that nothing of the test's own runs under the limit.
  if (limits.addressSpace != RLIM_INFINITY) {
    const rlimit limit{limits.addressSpace, limits.addressSpace};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ChildFails("test child: setrlimit: ");
  }
  ::execv(program.c_str(), argv.data());
  ChildFails("test child: exec: ");
}

}  // namespace

ProgramRun RunLimited(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& workingDir,
                      const Limits& limits) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  int watch = -1;
  if (limits.signalOnEntryIn != nullptr) {
    watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, limits.signalOnEntryIn, IN_CREATE | IN_MOVED_TO) < 0)
      throw std::runtime_error("inotify failed");
  }
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) StartChild(program, args, workingDir, limits, outPipe[1], errPipe[1]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ProgramRun run;
  pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {watch, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(limits.timeoutSeconds);
  const auto signalAt = start + std::chrono::milliseconds(limits.signalAfterMs);
  bool signalPending = limits.signal != 0 && (limits.signalAfterMs >= 0 || watch >= 0 || limits.signalOnOutput != nullptr);
  bool killed = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (signalPending && limits.signalAfterMs >= 0 && now >= signalAt) {
      ::kill(pid, limits.signal);
      signalPending = false;
    }
    auto until = deadline;
    if (signalPending && limits.signalAfterMs >= 0) until = std::min(until, signalAt);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    if (::poll(fds, 3, static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0) continue;
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      if (signalPending) ::kill(pid, limits.signal);
      signalPending = false;
      ::close(fds[2].fd);
      fds[2].fd = -1;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
        if (i == 0 && signalPending && limits.signalOnOutput != nullptr &&
            run.out.find(limits.signalOnOutput) != std::string::npos) {
          ::kill(pid, limits.signal);
          signalPending = false;
        }
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& fd : fds)
    if (fd.fd >= 0) ::close(fd.fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (killed) run.err += "[killed after the timeout]";
  return run;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& workingDir) {
  return RunLimited(program, args, workingDir, {});
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void ExpectOneDiagnostic(const ProgramRun& run, const char* programName, const std::string& what) {
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_THAT(run.err, ::testing::StartsWith(std::string(programName) + ": "));
  EXPECT_THAT(run.err, ::testing::HasSubstr(what));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_TRUE(run.err.ends_with('\n')) << run.err;
}

std::string MaskElapsed(std::string console) {
  if (console.size() >= 10 && console.back() == '\n') console.replace(console.size() - 10, 9, 9, '#');
  return console;
}

std::filesystem::path DataPath(const std::string& relative) { return std::filesystem::path(EXC_TEST_DATA_DIR) / relative; }

}  // namespace exc::test
