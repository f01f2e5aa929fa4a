// The parameter file: choosing it, reading its groups and checking the values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/number_text.hpp"

namespace exc {

enum class Variant { Simulator, Calculator };

inline constexpr std::string_view kSimulatorDefaultName = "SimParameter.txt";
inline constexpr std::string_view kCalculatorDefaultName = "Parameter.txt";

// An inclusive range of 32-bit counts; after the checks 1 <= from <= to.
struct IntRange {
  std::int32_t from = 0;
  std::int32_t to = 0;
  // Number of values from `from` to `to`; exact even for to = INT32_MAX.
  std::int64_t Count() const { return std::int64_t{to} - std::int64_t{from} + 1; }
};

// The checked run values. The calculator's variant leaves the simulator-only
// fields at zero.
struct RunValues {
  std::int32_t Diploid = 0;
  std::int32_t NAllele = 0;
  std::vector<double> Afe;  // normalised to sum 1 in the variant's own form
  IntRange LociRange;
  IntRange AuntsRange;
  std::int32_t Seed = 0;  // negated when read as 1 or more
  std::int32_t NRep = 0;
  float MapLength = 0.0f;
};

// The parameter groups in file order, each with its own error block.
enum class Group { Diploid, NAllele, Afe, LociRange, AuntsRange, Seed, NRep, MapLength };

// The three-line error block of a group, as one console record.
std::string ErrorBlock(Group group);

// The first command-line argument cut to 999 characters and trimmed of
// blanks (spaces only), or `defaultName` when the argument is missing or blank.
std::string ChooseParameterFileName(int argc, const char* const* argv, std::string_view defaultName);

// Stops with the two-line message unless a file of that name exists.
void RequireParameterFile(const std::string& parameterFileName);

// Free-form reader of parameter groups: values separated by blanks, tabs,
// commas and line ends; each group begins on the line after the one where
// the previous group ended, and the rest of a group's last line is ignored.
class ParameterReader {
 public:
  // `file` stays owned by the caller; `fileName` names it in diagnostics.
  ParameterReader(std::FILE* file, std::string fileName);

  // Each reads the group's values or stops the run with the group's error block.
  void ReadParameterGroup(Group group, std::span<std::int32_t> values);
  void ReadParameterGroup(Group group, std::span<float> values);
  // Reads `count` doubles (none when count <= 0, which uses up no line).
  void ReadParameterGroup(Group group, std::int32_t count, std::vector<double>& values);

 private:
  int Peek();
  void Advance();
  void SkipLineEndsAndBlanks();
  void SkipRestOfLine();
  // The next value; stops with the group's error block when the group runs
  // out of values or meets an empty value.
  const NumberText& NextValue(Group group, bool first);

  std::FILE* file_;
  std::string fileName_;
  int peeked_ = -2;  // -2: nothing peeked yet
  NumberText value_;
};

// Reads the variant's groups, runs the checks in their fixed order and
// normalises Afe. Stops the run (RunStopped) with the first message; a file
// that cannot be opened or read is a ServiceFailure.
RunValues ReadParameters(Variant variant, const std::string& parameterFileName);
RunValues ReadParameters(Variant variant, std::FILE* file, const std::string& parameterFileName);

// Scales the frequencies to sum 1: the simulator multiplies by 1/sum, the
// calculator divides by the sum; the two can differ in the last bit.
void NormaliseAfe(Variant variant, std::span<double> afe, double sum);

}  // namespace exc
