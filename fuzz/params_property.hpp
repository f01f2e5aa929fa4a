// The property the parameter reader must keep for any bytes: reading either
// stops with one of the known console texts or returns values that pass
// every check. Shared by the fuzz target and the corpus replay test, so a
// fuzz finding becomes a regression test by adding its input to the corpus.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "common/params.hpp"
#include "common/stop.hpp"

namespace exc::fuzz {

inline std::string Block(const char* first, const char* second) {
  return std::string(first) + "\n" + second + "\nProgram aborts.\n";
}

// The error blocks as printed, indexed like Group (file order). Written out
// here rather than taken from the library, so that a changed message in the
// library is a finding too.
inline const std::array<std::string, 8> kErrorBlocks = {
    Block("Error reading parameter Diploid!", "It must be either 1 or 0"),
    Block("Error reading parameter NAllele!", "It must be an integer > 1"),
    Block("Error reading parameter Afe(1 : NAllele)!", "There must be NAllele frequencies which sum to 1."),
    Block("Error reading parameter #Loci [from, to]!",
          "There must be 2 positive integers which are the lower and upper limits of #loci."),
    Block("Error reading parameter #Aunts [from, to]!",
          "There must be 2 positive integers which are the lower and upper limits of #Aunts."),
    Block("Error reading parameter Seed!", "It must be an integer"),
    Block("Error reading parameter NRep!", "It must be an integer"),
    Block("Error reading MapLength!", "It must be > 0."),
};

inline std::set<std::string> KnownTexts(Variant variant) {
  std::set<std::string> texts = {
      kErrorBlocks[1],
      kErrorBlocks[2],
      kErrorBlocks[3],
      kErrorBlocks[4],
      "Number of alleles/locus must be >1!\n",
      "The lower or upper bound of the number of loci must be >0!\n",
      "Invalid range! Lower bound > upper bound of the number of loci!\n",
      "The lower or upper bound of the number of candidate aunts must be >0!\n",
      "Invalid range! Lower bound > upper bound of the number of candidate aunts!\n",
      "Allele frequencies do not sum to 1!\n",
      "Negative allele frequencies are not allowed!\n",
  };
  if (variant == Variant::Simulator) {
    texts.insert({
        kErrorBlocks[0],
        kErrorBlocks[5],
        kErrorBlocks[6],
        kErrorBlocks[7],
        "The species must be either diploid (1) or haplodiploid (0)!\n",
        "Numberr of replicates must be > 0!\n",
        "MapLength of the genome must be > 0!\n",
        "Seed must lie between -2147483646 and 2147483646!\n",
    });
  }
  return texts;
}

// What is wrong with accepted values, or "" when they pass every check.
inline std::string ViolatedCheck(const RunValues& v, Variant variant) {
  if (v.NAllele < 2) return "NAllele below 2 accepted";
  if (v.Afe.size() != static_cast<std::size_t>(v.NAllele)) return "Afe does not hold NAllele values";
  double sum = 0.0;
  for (double f : v.Afe) {
    if (!std::isfinite(f) || f < 0.0 || f > 1.0) return "normalised frequency outside 0 to 1";
    sum += f;
  }
  // The inputs summed to within half a percent of 1 and were scaled by that
  // sum, so only rounding separates the result from 1.
  if (std::fabs(sum - 1.0) > 1e-9) return "normalised frequencies do not sum to 1";
  if (v.LociRange.from < 1 || v.LociRange.from > v.LociRange.to) return "bad LociRange accepted";
  if (v.AuntsRange.from < 1 || v.AuntsRange.from > v.AuntsRange.to) return "bad AuntsRange accepted";
  if (variant == Variant::Simulator) {
    if (v.Diploid != 0 && v.Diploid != 1) return "Diploid other than 0 or 1 accepted";
    if (v.NRep < 1) return "NRep below 1 accepted";
    if (!std::isfinite(v.MapLength) || !(v.MapLength > 0.0f)) return "MapLength not a positive number";
    if (v.Seed > 0 || v.Seed < -2147483646) return "Seed not negated or outside the generator's range";
  } else if (v.Diploid != 0 || v.Seed != 0 || v.NRep != 0 || v.MapLength != 0.0f) {
    return "calculator set a simulator-only value";
  }
  return "";
}

// Reads `data` as a parameter file of the variant and returns "" when the
// property holds, else what broke it. Exceptions other than a stop escape.
inline std::string CheckReading(Variant variant, const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> simulatorTexts = KnownTexts(Variant::Simulator);
  static const std::set<std::string> calculatorTexts = KnownTexts(Variant::Calculator);
  const std::set<std::string>& known = variant == Variant::Simulator ? simulatorTexts : calculatorTexts;
  // fmemopen refuses an empty buffer; an empty file is a file with nothing in it.
  static char empty = 0;
  void* buffer = size == 0 ? static_cast<void*>(&empty) : const_cast<std::uint8_t*>(data);
  std::FILE* file = fmemopen(buffer, size, "r");
  if (file == nullptr) return "fmemopen failed";
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  try {
    return ViolatedCheck(ReadParameters(variant, file, "fuzz-input"), variant);
  } catch (const RunStopped& stop) {
    if (known.count(stop.text) == 0) return "stopped with a text that is no known message: [" + stop.text + "]";
  }
  return "";
}

}  // namespace exc::fuzz
