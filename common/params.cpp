#include "common/params.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/stop.hpp"

namespace exc {

namespace {

constexpr std::size_t kNameBufferLength = 999;

// The check bounds are the single-precision numbers nearest to 0.995 and
// 1.005, widened to double.
constexpr double kSumLowerBound = static_cast<double>(0.995f);
constexpr double kSumUpperBound = static_cast<double>(1.005f);
constexpr std::int32_t kLargestSeedMagnitude = 2147483646;

bool IsBlank(int c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(int c) { return c == '\n' || c == '\r'; }
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
  // "Numberr" is the system's own text, kept letter for letter.
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
      // Without "parameter", unlike the other blocks: the system's own text.
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
  // A name that names no file does not exist, however it fails to: a
  // missing component, a too long name, a loop of links. Where existence
  // stays unknown (no search permission, an I/O error) the service failed.
  if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP)
    StopWithMessage({MissingFileRecord(parameterFileName), "Program stops!"});
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

const NumberText& ParameterReader::NextValue(Group group, bool first) {
  SkipLineEndsAndBlanks();
  if (!first && Peek() == ',') {
    Advance();
    SkipLineEndsAndBlanks();
  }
  // A comma here is an empty value (or one before the group's first value).
  int c = Peek();
  if (c == EOF || c == ',') StopWithMessage({ErrorBlock(group)});
  value_.Clear();
  for (; c != EOF && c != ',' && !IsBlank(c) && !IsLineEnd(c); c = Peek()) {
    value_.Append(static_cast<char>(c));
    Advance();
  }
  return value_;
}

void ParameterReader::ReadParameterGroup(Group group, std::span<std::int32_t> values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!NextValue(group, i == 0).ToInteger(values[i])) StopWithMessage({ErrorBlock(group)});
  SkipRestOfLine();
}

void ParameterReader::ReadParameterGroup(Group group, std::span<float> values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!NextValue(group, i == 0).ToReal(values[i])) StopWithMessage({ErrorBlock(group)});
  SkipRestOfLine();
}

void ParameterReader::ReadParameterGroup(Group group, std::int32_t count, std::vector<double>& values) {
  values.clear();
  if (count <= 0) return;
  // Grown as values arrive, so a huge count in a short file costs nothing.
  values.reserve(static_cast<std::size_t>(std::min(count, 4096)));
  for (std::int32_t i = 0; i < count; ++i) {
    double value = 0.0;
    if (!NextValue(group, i == 0).ToReal(value)) StopWithMessage({ErrorBlock(group)});
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

}  // namespace exc
