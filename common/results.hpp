// The results matrix and the results file shared by both programs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/params.hpp"

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

// The parameter file's name up to and including its last "." followed by
// "DuviZadIru", or the whole name followed by ".DuviZadIru".
std::string DeriveResultsFileName(std::string_view parameterFileName);

// The whole results file as text: a header record, then one record per number
// of loci, every record ended by CR LF.
std::string FormatResults(const ResultsMatrix& exProb);

// Writes the results file through a temporary file beside it that is renamed
// over the old one, so a failed write leaves any earlier file untouched.
void WriteResultsFile(const std::string& resultsFileName, const ResultsMatrix& exProb);

}  // namespace exc
