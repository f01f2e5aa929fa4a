// The results matrix and the results file shared by both programs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/params.hpp"
#include "common/process.hpp"
#include "common/storage.hpp"

namespace exc {

// Probabilities over LociRange x AuntsRange, indexed by the actual numbers
// of loci and aunts, the number of loci varying fastest.
class ResultsMatrix {
 public:
  ResultsMatrix(IntRange loci, IntRange aunts);
  double& At(std::int32_t nLoci, std::int32_t nAunts) { return values_[Index(nLoci, nAunts)]; }
  double At(std::int32_t nLoci, std::int32_t nAunts) const { return values_[Index(nLoci, nAunts)]; }
  IntRange Loci() const { return loci_; }
  IntRange Aunts() const { return aunts_; }

 private:
  std::size_t Index(std::int32_t nLoci, std::int32_t nAunts) const {
    return static_cast<std::size_t>(std::int64_t{nLoci} - loci_.from) +
           static_cast<std::size_t>(std::int64_t{nAunts} - aunts_.from) * static_cast<std::size_t>(loci_.Count());
  }
  IntRange loci_;
  IntRange aunts_;
  std::vector<double> values_;
};

// The parameter file's name with its own part (after the last "/") up to and
// including the last "." there followed by "DuviZadIru", or, when that part
// holds no ".", the whole name followed by ".DuviZadIru". A "." in a
// directory's name never counts: run.v2/params gives run.v2/params.DuviZadIru.
std::string DeriveResultsFileName(std::string_view parameterFileName);

// What the results take in memory: the matrix and the results file's
// buffer. Both programs size them here, before anything is allocated.
void AddResultsStorage(StorageBudget& budget, IntRange loci, IntRange aunts);

// The whole results file as text: a header record, then one record per number
// of loci, every record ended by CR LF.
std::string FormatResults(const ResultsMatrix& exProb);

// The results file of a run. Made before the first pair, so that a name that
// cannot be written ends the run at once rather than after hours of work;
// written and put in place after the last pair. Until then any earlier file
// of that name stays as it was, and a run that ends any other way leaves
// nothing behind:
// - Unnamed: the text goes to a file without a name in the results file's
//   directory (O_TMPFILE), linked under a temporary name and renamed over
//   the earlier file with every signal held;
// - Hidden, where the file system cannot make a file without a name: to a
//   hidden temporary file beside it, which a signal that ends the process
//   removes first.
// Once named, the file's directory is synced, so that the name is durable.
// The new file keeps the permission bits of the file it replaces. An earlier
// file the user may not write, or a directory of that name, is refused at
// once, as writing it in place would have failed; so is an entry that the
// final rename could not replace (another user's, in a sticky directory).
// A symbolic link at the name is replaced by the new file, which then gets
// the usual mode: the link's target is never read, followed or touched.
class ResultsFile {
 public:
  enum class Temporary { Unnamed, Hidden };

  // Fails (ServiceFailure) when the file cannot be made.
  explicit ResultsFile(std::string name, Temporary temporary = Temporary::Unnamed);
  ~ResultsFile();  // discards a file that was not put in place
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  const std::string& Name() const { return name_; }
  Temporary Kind() const { return kind_; }

 private:
  friend void WriteResultsFile(ResultsFile& file, const ResultsMatrix& exProb);
  const char* DirectoryName() const { return directory_.empty() ? "." : directory_.c_str(); }
  [[noreturn]] void Fail(const char* what, int error);
  void Put(const char* data, std::size_t size);
  void PutInPlace();
  void Discard();

  std::string name_;
  std::string directory_;
  Temporary kind_ = Temporary::Unnamed;
  int fd_ = -1;
  int directoryFd_ = -1;  // synced once the file has its name
  std::string temporaryPath_;  // the hidden file, or the link of the unnamed one
  std::string descriptorPath_;  // the unnamed file by /proc/self/fd
  std::unique_ptr<char[]> buffer_;
  TemporaryFileGuard guard_;
  bool inPlace_ = false;
};

// Writes the records through the file's fixed buffer, makes them durable
// and puts the file in place of any earlier one.
void WriteResultsFile(ResultsFile& file, const ResultsMatrix& exProb);

}  // namespace exc
