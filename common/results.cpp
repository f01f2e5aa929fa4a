#include "common/results.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/fields.hpp"
#include "common/stop.hpp"

namespace exc {

ResultsMatrix::ResultsMatrix(IntRange loci, IntRange aunts)
    : loci_(loci), aunts_(aunts), values_(static_cast<std::size_t>(loci.Count() * aunts.Count()), 0.0) {}

std::string DeriveResultsFileName(std::string_view parameterFileName) {
  const std::size_t dot = parameterFileName.rfind('.');
  if (dot == std::string_view::npos) return std::string(parameterFileName) + ".DuviZadIru";
  return std::string(parameterFileName.substr(0, dot + 1)) + "DuviZadIru";
}

std::string FormatResults(const ResultsMatrix& exProb) {
  const IntRange loci = exProb.Loci();
  const IntRange aunts = exProb.Aunts();
  std::string text;
  text.reserve(static_cast<std::size_t>((loci.Count() + 1) * (8 + 12 * aunts.Count())));
  text.append(" NLoci");
  // Counted passes: the loops end at an upper bound of INT32_MAX.
  for (std::int64_t j = 0; j < aunts.Count(); ++j) AppendIntegerField(text, aunts.from + j, 12);
  text.append("\r\n");
  for (std::int64_t i = 0; i < loci.Count(); ++i) {
    const auto nLoci = static_cast<std::int32_t>(loci.from + i);
    AppendIntegerField(text, nLoci, 6);
    for (std::int64_t j = 0; j < aunts.Count(); ++j)
      AppendFixedField(text, exProb.At(nLoci, static_cast<std::int32_t>(aunts.from + j)), 12, 8);
    text.append("\r\n");
  }
  return text;
}

namespace {

std::string Diagnostic(const std::string& what, const std::string& name, int error) {
  return what + " " + name + ": " + std::strerror(error);
}

mode_t DefaultFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

void WriteResultsFile(const std::string& resultsFileName, const ResultsMatrix& exProb) {
  const std::string text = FormatResults(exProb);
  // Past a file-size limit (ulimit -f) the default action of SIGXFSZ kills
  // the process mid-write and leaves the partial temporary file behind;
  // ignored, the write fails with EFBIG and the cleanup below runs.
  struct IgnoreFileSizeSignal {
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ~IgnoreFileSizeSignal() {
      if (previous != SIG_ERR) std::signal(SIGXFSZ, previous);
    }
  } ignoreFileSizeSignal;
  // A short name of its own in the same directory: the results name plus a
  // suffix could exceed the longest name a directory entry can take.
  std::string temporary = resultsFileName.substr(0, resultsFileName.rfind('/') + 1) + ".DuviZadIru-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw ServiceFailure(Diagnostic("cannot create results file", resultsFileName, errno));
  auto fail = [&](const char* what, int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw ServiceFailure(Diagnostic(what, resultsFileName, error));
  };
  if (::fchmod(fd, DefaultFileMode()) != 0) fail("cannot create results file", errno);
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write results file", errno);
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0 && errno != EINVAL) fail("cannot write results file", errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw ServiceFailure(Diagnostic("cannot write results file", resultsFileName, error));
  }
  if (::rename(temporary.c_str(), resultsFileName.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw ServiceFailure(Diagnostic("cannot replace results file", resultsFileName, error));
  }
}

}  // namespace exc
