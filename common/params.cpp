#include "common/params.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/stop.hpp"

namespace exc {

namespace {

constexpr std::size_t kNameBufferLength = 999;
// No valid number is anywhere near this long; a longer run of characters is
// rejected without holding it all.
constexpr std::size_t kLongestValue = 512;

// The check bounds are the single-precision numbers nearest to 0.995 and
// 1.005, widened to double.
constexpr double kSumLowerBound = static_cast<double>(0.995f);
constexpr double kSumUpperBound = static_cast<double>(1.005f);
constexpr std::int32_t kLargestSeedMagnitude = 2147483646;

bool IsBlank(int c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(int c) { return c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Accepts [sign] digits [. [digits]] | [sign] . digits, then [Ee [sign] digits].
bool IsRealText(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && IsDigit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < n && IsDigit(text[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == n;
}

template <class Real>
bool ConvertReal(std::string_view text, Real& value) {
  if (!IsRealText(text)) return false;
  if (text.front() == '+') text.remove_prefix(1);
  Real parsed{};
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; only overflow is an
    // error, an underflowing value is as near to zero as the type allows.
    std::string copy(text);
    errno = 0;
    if constexpr (std::is_same_v<Real, float>) {
      parsed = std::strtof(copy.c_str(), nullptr);
    } else {
      parsed = std::strtod(copy.c_str(), nullptr);
    }
    if (!std::isfinite(parsed)) return false;
  } else if (ec != std::errc() || ptr != text.data() + text.size()) {
    return false;
  }
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

std::string MissingFileRecord(const std::string& name) {
  return "Parameter file, " + name + ", does not exist!";
}

std::string Describe(int error) { return std::strerror(error); }

void RunChecks(Variant variant, RunValues& v) {
  const bool simulator = variant == Variant::Simulator;
  if (simulator && v.Diploid != 0 && v.Diploid != 1)
    StopWithMessage({"The species must be either diploid (1) or haplodiploid (0)!"});
  if (v.NAllele < 2) StopWithMessage({"Number of alleles/locus must be >1!"});
  if (v.LociRange.from < 1 || v.LociRange.to < 1)
    StopWithMessage({"The lower or upper bound of the number of loci must be >0!"});
  if (v.LociRange.from > v.LociRange.to)
    StopWithMessage({"Invalid range! Lower bound > upper bound of the number of loci!"});
  if (v.AuntsRange.from < 1 || v.AuntsRange.to < 1)
    StopWithMessage({"The lower or upper bound of the number of candidate aunts must be >0!"});
  if (v.AuntsRange.from > v.AuntsRange.to)
    StopWithMessage({"Invalid range! Lower bound > upper bound of the number of candidate aunts!"});
  double sum = 0.0;
  for (double frequency : v.Afe) sum += frequency;
  if (sum < kSumLowerBound || sum > kSumUpperBound) StopWithMessage({"Allele frequencies do not sum to 1!"});
  for (double frequency : v.Afe)
    if (frequency < 0.0) StopWithMessage({"Negative allele frequencies are not allowed!"});
  NormaliseAfe(variant, v.Afe, sum);
  if (!simulator) return;
  if (v.NRep < 1) StopWithMessage({"Numberr of replicates must be > 0!"});
  if (v.MapLength <= 0.0f) StopWithMessage({"MapLength of the genome must be > 0!"});
  // Seeds whose magnitude, or magnitude plus one, leaves the 32-bit range
  // break the generator (the stream degenerates); they were negated on reading.
  if (v.Seed < -kLargestSeedMagnitude) StopWithMessage({"Seed must lie between -2147483646 and 2147483646!"});
}

}  // namespace

std::string ErrorBlock(Group group) {
  const char* first = "";
  const char* second = "";
  switch (group) {
    case Group::Diploid:
      first = "Error reading parameter Diploid!";
      second = "It must be either 1 or 0";
      break;
    case Group::NAllele:
      first = "Error reading parameter NAllele!";
      second = "It must be an integer > 1";
      break;
    case Group::Afe:
      first = "Error reading parameter Afe(1 : NAllele)!";
      second = "There must be NAllele frequencies which sum to 1.";
      break;
    case Group::LociRange:
      first = "Error reading parameter #Loci [from, to]!";
      second = "There must be 2 positive integers which are the lower and upper limits of #loci.";
      break;
    case Group::AuntsRange:
      first = "Error reading parameter #Aunts [from, to]!";
      second = "There must be 2 positive integers which are the lower and upper limits of #Aunts.";
      break;
    case Group::Seed:
      first = "Error reading parameter Seed!";
      second = "It must be an integer";
      break;
    case Group::NRep:
      first = "Error reading parameter NRep!";
      second = "It must be an integer";
      break;
    case Group::MapLength:
      first = "Error reading MapLength!";
      second = "It must be > 0.";
      break;
  }
  return std::string(first) + "\n" + second + "\nProgram aborts.";
}

std::string ChooseParameterFileName(int argc, const char* const* argv, std::string_view defaultName) {
  if (argc < 2 || argv[1] == nullptr) return std::string(defaultName);
  std::string_view argument(argv[1]);
  argument = argument.substr(0, std::min(argument.size(), kNameBufferLength));
  const std::size_t begin = argument.find_first_not_of(' ');
  if (begin == std::string_view::npos) return std::string(defaultName);
  const std::size_t end = argument.find_last_not_of(' ');
  return std::string(argument.substr(begin, end - begin + 1));
}

void RequireParameterFile(const std::string& parameterFileName) {
  struct stat status {};
  if (::stat(parameterFileName.c_str(), &status) == 0) return;
  const int error = errno;
  if (error == ENOENT || error == ENOTDIR) StopWithMessage({MissingFileRecord(parameterFileName), "Program stops!"});
  throw ServiceFailure("cannot access parameter file " + parameterFileName + ": " + Describe(error));
}

ParameterReader::ParameterReader(std::FILE* file, std::string fileName)
    : file_(file), fileName_(std::move(fileName)) {}

int ParameterReader::Peek() {
  if (peeked_ == -2) {
    peeked_ = std::getc(file_);
    if (peeked_ == EOF && std::ferror(file_))
      throw ServiceFailure("cannot read parameter file " + fileName_ + ": " + Describe(errno));
  }
  return peeked_;
}

void ParameterReader::Advance() { peeked_ = -2; }

void ParameterReader::SkipLineEndsAndBlanks() {
  for (int c = Peek(); IsBlank(c) || IsLineEnd(c); c = Peek()) Advance();
}

void ParameterReader::SkipRestOfLine() {
  for (int c = Peek(); c != EOF; c = Peek()) {
    Advance();
    if (c == '\n') return;
  }
}

std::string_view ParameterReader::NextValue(Group group, bool first) {
  SkipLineEndsAndBlanks();
  if (!first && Peek() == ',') {
    Advance();
    SkipLineEndsAndBlanks();
  }
  // A comma here is an empty value (or one before the group's first value).
  int c = Peek();
  if (c == EOF || c == ',') StopWithMessage({ErrorBlock(group)});
  token_.clear();
  for (; c != EOF && c != ',' && !IsBlank(c) && !IsLineEnd(c); c = Peek()) {
    if (token_.size() == kLongestValue) StopWithMessage({ErrorBlock(group)});
    token_.push_back(static_cast<char>(c));
    Advance();
  }
  return token_;
}

void ParameterReader::ReadParameterGroup(Group group, std::span<std::int32_t> values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!ParseInteger(NextValue(group, i == 0), values[i])) StopWithMessage({ErrorBlock(group)});
  SkipRestOfLine();
}

void ParameterReader::ReadParameterGroup(Group group, std::span<float> values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!ParseReal(NextValue(group, i == 0), values[i])) StopWithMessage({ErrorBlock(group)});
  SkipRestOfLine();
}

void ParameterReader::ReadParameterGroup(Group group, std::int32_t count, std::vector<double>& values) {
  values.clear();
  if (count <= 0) return;
  // Grown as values arrive, so a huge count in a short file costs nothing.
  values.reserve(static_cast<std::size_t>(std::min(count, 4096)));
  for (std::int32_t i = 0; i < count; ++i) {
    double value = 0.0;
    if (!ParseReal(NextValue(group, i == 0), value)) StopWithMessage({ErrorBlock(group)});
    values.push_back(value);
  }
  SkipRestOfLine();
}

RunValues ReadParameters(Variant variant, std::FILE* file, const std::string& parameterFileName) {
  ParameterReader reader(file, parameterFileName);
  RunValues v;
  const bool simulator = variant == Variant::Simulator;
  if (simulator) reader.ReadParameterGroup(Group::Diploid, std::span(&v.Diploid, 1));
  reader.ReadParameterGroup(Group::NAllele, std::span(&v.NAllele, 1));
  reader.ReadParameterGroup(Group::Afe, v.NAllele, v.Afe);
  std::int32_t range[2] = {0, 0};
  reader.ReadParameterGroup(Group::LociRange, range);
  v.LociRange = {range[0], range[1]};
  reader.ReadParameterGroup(Group::AuntsRange, range);
  v.AuntsRange = {range[0], range[1]};
  if (simulator) {
    reader.ReadParameterGroup(Group::Seed, std::span(&v.Seed, 1));
    // A positive seed and its negative give the same stream.
    if (v.Seed >= 1) v.Seed = -v.Seed;
    reader.ReadParameterGroup(Group::NRep, std::span(&v.NRep, 1));
    reader.ReadParameterGroup(Group::MapLength, std::span(&v.MapLength, 1));
  }
  RunChecks(variant, v);
  return v;
}

RunValues ReadParameters(Variant variant, const std::string& parameterFileName) {
  std::FILE* file = std::fopen(parameterFileName.c_str(), "rb");
  if (file == nullptr)
    throw ServiceFailure("cannot open parameter file " + parameterFileName + ": " + Describe(errno));
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  return ReadParameters(variant, file, parameterFileName);
}

void NormaliseAfe(Variant variant, std::span<double> afe, double sum) {
  if (variant == Variant::Simulator) {
    const double reciprocal = 1.0 / sum;
    for (double& frequency : afe) frequency = frequency * reciprocal;
  } else {
    for (double& frequency : afe) frequency = frequency / sum;
  }
}

bool ParseInteger(std::string_view text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > std::int64_t{1} << 31) magnitude = std::int64_t{1} << 32;  // saturate, stays out of range
  }
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue < std::numeric_limits<std::int32_t>::min() || signedValue > std::numeric_limits<std::int32_t>::max())
    return false;
  value = static_cast<std::int32_t>(signedValue);
  return true;
}

bool ParseReal(std::string_view text, double& value) { return ConvertReal(text, value); }
bool ParseReal(std::string_view text, float& value) { return ConvertReal(text, value); }

}  // namespace exc
