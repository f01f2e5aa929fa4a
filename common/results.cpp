#include "common/results.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <span>

#include "common/fields.hpp"
#include "common/stop.hpp"

namespace exc {

namespace {

// The results file goes out through this much memory, however large the
// table: the text of a large table could not be had all at once where the
// table itself fits.
constexpr std::size_t kBufferBytes = 64 * 1024;
constexpr int kLabelWidth = 6;
constexpr int kFieldWidth = 12;
constexpr int kDecimals = 8;

// The records, in pieces of at most the buffer's size handed to `flush`.
template <class Flush>
void FormatRecords(const ResultsMatrix& exProb, std::span<char> buffer, Flush&& flush) {
  std::size_t used = 0;
  // Room for `n` more characters, flushing first when the buffer lacks it.
  auto room = [&](std::size_t n) {
    if (used + n > buffer.size()) {
      flush(buffer.data(), used);
      used = 0;
    }
    return buffer.data() + used;
  };
  auto put = [&](std::string_view text) { used += text.copy(room(text.size()), text.size()); };
  const IntRange loci = exProb.Loci();
  const IntRange aunts = exProb.Aunts();
  put(" NLoci");
  // Counted passes: the loops end at an upper bound of INT32_MAX.
  for (std::int64_t j = 0; j < aunts.Count(); ++j) used += FormatIntegerField(room(kFieldWidth), aunts.from + j, kFieldWidth);
  put("\r\n");
  for (std::int64_t i = 0; i < loci.Count(); ++i) {
    const auto nLoci = static_cast<std::int32_t>(loci.from + i);
    used += FormatIntegerField(room(kLabelWidth), nLoci, kLabelWidth);
    for (std::int64_t j = 0; j < aunts.Count(); ++j) {
      const double value = exProb.At(nLoci, static_cast<std::int32_t>(aunts.from + j));
      used += FormatFixedField(room(kFieldWidth), value, kFieldWidth, kDecimals);
    }
    put("\r\n");
  }
  flush(buffer.data(), used);
}

std::string Diagnostic(const char* what, const std::string& name, int error) {
  return std::string(what) + " " + name + ": " + std::strerror(error);
}

// Whether this process may override the sticky bit (CAP_FOWNER).
bool MayOverrideStickyBit() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return (data[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0;
}

// Whether the entry `earlier` in `directory` may be replaced by a rename:
// in a sticky directory (a shared /tmp) only by the owner of the entry or
// of the directory, or by a process that may override the bit. The rename
// itself would fail after the last pair.
bool MayReplace(const char* directory, const struct stat& earlier) {
  struct stat status {};
  if (::stat(directory, &status) != 0 || (status.st_mode & S_ISVTX) == 0) return true;
  const uid_t user = ::geteuid();
  return earlier.st_uid == user || status.st_uid == user || MayOverrideStickyBit();
}

mode_t DefaultFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

ResultsMatrix::ResultsMatrix(IntRange loci, IntRange aunts)
    : loci_(loci), aunts_(aunts), values_(static_cast<std::size_t>(loci.Count() * aunts.Count()), 0.0) {}

std::string DeriveResultsFileName(std::string_view parameterFileName) {
  const std::size_t slash = parameterFileName.rfind('/');
  const std::size_t ownPart = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = parameterFileName.rfind('.');
  if (dot == std::string_view::npos || dot < ownPart) return std::string(parameterFileName) + ".DuviZadIru";
  return std::string(parameterFileName.substr(0, dot + 1)) + "DuviZadIru";
}

void AddResultsStorage(StorageBudget& budget, IntRange loci, IntRange aunts) {
  budget.Add(loci.Count() * aunts.Count(), sizeof(double));
  budget.Add(kBufferBytes, 1);
}

std::string FormatResults(const ResultsMatrix& exProb) {
  std::string text;
  char buffer[4096];
  FormatRecords(exProb, buffer, [&](const char* data, std::size_t size) { text.append(data, size); });
  return text;
}

ResultsFile::ResultsFile(std::string name, Temporary temporary)
    : name_(std::move(name)), kind_(temporary), buffer_(new char[kBufferBytes]) {
  const std::size_t slash = name_.rfind('/');
  directory_ = slash == std::string::npos ? std::string() : name_.substr(0, slash + 1);
  // A short name of its own for the temporary file: the results name plus a
  // suffix could exceed the longest name a directory entry can take.
  temporaryPath_.reserve(directory_.size() + 48);

  // The entry at the name is what the final rename replaces: a link there
  // is judged as a link, and what it points to is never read nor touched.
  mode_t mode = DefaultFileMode();
  struct stat earlier {};
  if (::lstat(name_.c_str(), &earlier) == 0) {
    if (S_ISDIR(earlier.st_mode)) throw ServiceFailure(Diagnostic("cannot replace results file", name_, EISDIR));
    if (!S_ISLNK(earlier.st_mode)) {
      if (::faccessat(AT_FDCWD, name_.c_str(), W_OK, AT_EACCESS) != 0)
        throw ServiceFailure(Diagnostic("cannot write results file", name_, errno));
      mode = earlier.st_mode & 0777;
    }
    if (!MayReplace(DirectoryName(), earlier)) throw ServiceFailure(Diagnostic("cannot replace results file", name_, EPERM));
  } else if (errno != ENOENT) {
    // Too long a name, a file where a directory should be, no permission to
    // search: found now, not after the last pair.
    throw ServiceFailure(Diagnostic("cannot create results file", name_, errno));
  }

  if (kind_ == Temporary::Unnamed) {
    fd_ = ::open(DirectoryName(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      char digits[16];
      const auto end = std::to_chars(digits, digits + sizeof digits, fd_).ptr;
      descriptorPath_ = "/proc/self/fd/" + std::string(digits, end);
      // Without /proc the unnamed file could never be given its name.
      if (::access(descriptorPath_.c_str(), F_OK) != 0) {
        ::close(fd_);
        fd_ = -1;
        kind_ = Temporary::Hidden;
      }
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      kind_ = Temporary::Hidden;
    } else {
      throw ServiceFailure(Diagnostic("cannot create results file", name_, errno));
    }
  }
  if (kind_ == Temporary::Hidden) {
    temporaryPath_.assign(directory_).append(".DuviZadIru-XXXXXX");
    // Made and guarded as one step, so no signal finds it unguarded.
    SignalsHeld held;
    fd_ = ::mkostemp(temporaryPath_.data(), O_CLOEXEC);
    if (fd_ < 0) throw ServiceFailure(Diagnostic("cannot create results file", name_, errno));
    if (!guard_.Arm(temporaryPath_.c_str())) Fail("cannot create results file", ENAMETOOLONG);
  }
  if (::fchmod(fd_, mode) != 0) Fail("cannot create results file", errno);
  // Opened now, for making the new name durable at the end; a directory
  // that may be written but not read cannot be synced, and is not.
  directoryFd_ = ::open(DirectoryName(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

ResultsFile::~ResultsFile() {
  Discard();
  if (directoryFd_ >= 0) ::close(directoryFd_);
}

void ResultsFile::Fail(const char* what, int error) {
  Discard();
  throw ServiceFailure(Diagnostic(what, name_, error));
}

void ResultsFile::Discard() {
  if (fd_ < 0) return;
  if (kind_ == Temporary::Hidden && !inPlace_) {
    SignalsHeld held;
    ::unlink(temporaryPath_.c_str());
    guard_.Disarm();
  }
  // An unnamed file vanishes with its last descriptor.
  ::close(fd_);
  fd_ = -1;
}

void ResultsFile::Put(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write results file", errno);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void ResultsFile::PutInPlace() {
  SignalsHeld held;
  if (kind_ == Temporary::Hidden) {
    if (::rename(temporaryPath_.c_str(), name_.c_str()) != 0) Fail("cannot replace results file", errno);
    guard_.Disarm();
  } else if (::linkat(AT_FDCWD, descriptorPath_.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    // With no earlier file the unnamed file takes its name directly;
    // otherwise it is linked beside the earlier file and renamed over it.
    if (errno != EEXIST) Fail("cannot replace results file", errno);
    for (int n = 0;; ++n) {
      char suffix[48];
      const auto end = std::to_chars(suffix, suffix + sizeof suffix, n).ptr;
      temporaryPath_.assign(directory_).append(".DuviZadIru-").append(suffix, end);
      if (::linkat(AT_FDCWD, descriptorPath_.c_str(), AT_FDCWD, temporaryPath_.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST) Fail("cannot replace results file", errno);
    }
    if (::rename(temporaryPath_.c_str(), name_.c_str()) != 0) {
      const int error = errno;
      ::unlink(temporaryPath_.c_str());
      Fail("cannot replace results file", error);
    }
  }
  inPlace_ = true;
  ::close(fd_);
  fd_ = -1;
  // The new name is durable only once its directory is: a power loss
  // could otherwise bring back the earlier file, or no file, after the
  // run reported success.
  if (directoryFd_ >= 0 && ::fsync(directoryFd_) != 0 && errno != EINVAL)
    throw ServiceFailure(Diagnostic("cannot sync the directory of results file", name_, errno));
}

void WriteResultsFile(ResultsFile& file, const ResultsMatrix& exProb) {
  FormatRecords(exProb, std::span<char>(file.buffer_.get(), kBufferBytes),
                [&](const char* data, std::size_t size) { file.Put(data, size); });
  if (::fsync(file.fd_) != 0 && errno != EINVAL) file.Fail("cannot write results file", errno);
  file.PutInPlace();
}

}  // namespace exc
