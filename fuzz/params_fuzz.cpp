// libFuzzer target for the parameter reader of both variants. For any bytes,
// reading must either stop with one of the known console texts or return
// values that pass every check; a crash, a hang, an escaping exception or a
// sanitizer report is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "common/params.hpp"
#include "common/stop.hpp"

namespace {

using exc::Variant;

std::string Block(const char* first, const char* second) {
  return std::string(first) + "\n" + second + "\nProgram aborts.\n";
}

// Written out here rather than taken from the library, so that a changed
// message in the library is a finding too.
std::set<std::string> KnownTexts(Variant variant) {
  std::set<std::string> texts = {
      Block("Error reading parameter NAllele!", "It must be an integer > 1"),
      Block("Error reading parameter Afe(1 : NAllele)!", "There must be NAllele frequencies which sum to 1."),
      Block("Error reading parameter #Loci [from, to]!",
            "There must be 2 positive integers which are the lower and upper limits of #loci."),
      Block("Error reading parameter #Aunts [from, to]!",
            "There must be 2 positive integers which are the lower and upper limits of #Aunts."),
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
        Block("Error reading parameter Diploid!", "It must be either 1 or 0"),
        Block("Error reading parameter Seed!", "It must be an integer"),
        Block("Error reading parameter NRep!", "It must be an integer"),
        Block("Error reading MapLength!", "It must be > 0."),
        "The species must be either diploid (1) or haplodiploid (0)!\n",
        "Numberr of replicates must be > 0!\n",
        "MapLength of the genome must be > 0!\n",
        "Seed must lie between -2147483646 and 2147483646!\n",
    });
  }
  return texts;
}

[[noreturn]] void Finding(const char* what, Variant variant) {
  std::fprintf(stderr, "finding (%s variant): %s\n", variant == Variant::Simulator ? "simulator" : "calculator", what);
  std::abort();
}

void CheckAccepted(const exc::RunValues& v, Variant variant) {
  if (v.NAllele < 2) Finding("NAllele below 2 accepted", variant);
  if (v.Afe.size() != static_cast<std::size_t>(v.NAllele)) Finding("Afe does not hold NAllele values", variant);
  double sum = 0.0;
  for (double f : v.Afe) {
    if (!std::isfinite(f) || f < 0.0 || f > 1.0) Finding("normalised frequency outside 0 to 1", variant);
    sum += f;
  }
  // The inputs summed to within half a percent of 1 and were scaled by that
  // sum, so only rounding separates the result from 1.
  if (std::fabs(sum - 1.0) > 1e-9) Finding("normalised frequencies do not sum to 1", variant);
  if (v.LociRange.from < 1 || v.LociRange.from > v.LociRange.to) Finding("bad LociRange accepted", variant);
  if (v.AuntsRange.from < 1 || v.AuntsRange.from > v.AuntsRange.to) Finding("bad AuntsRange accepted", variant);
  if (variant == Variant::Simulator) {
    if (v.Diploid != 0 && v.Diploid != 1) Finding("Diploid other than 0 or 1 accepted", variant);
    if (v.NRep < 1) Finding("NRep below 1 accepted", variant);
    if (!std::isfinite(v.MapLength) || !(v.MapLength > 0.0f)) Finding("MapLength not a positive number", variant);
    if (v.Seed > 0 || v.Seed < -2147483646) Finding("Seed not negated or outside the generator's range", variant);
  } else if (v.Diploid != 0 || v.Seed != 0 || v.NRep != 0 || v.MapLength != 0.0f) {
    Finding("calculator set a simulator-only value", variant);
  }
}

void ReadOnce(const std::uint8_t* data, std::size_t size, Variant variant, const std::set<std::string>& known) {
  // fmemopen refuses an empty buffer; an empty file is a file with nothing in it.
  static char empty = 0;
  void* buffer = size == 0 ? static_cast<void*>(&empty) : const_cast<std::uint8_t*>(data);
  std::FILE* file = fmemopen(buffer, size, "r");
  if (file == nullptr) file = std::tmpfile();
  if (file == nullptr) std::abort();
  try {
    const exc::RunValues values = exc::ReadParameters(variant, file, "fuzz-input");
    CheckAccepted(values, variant);
  } catch (const exc::RunStopped& stop) {
    if (known.count(stop.text) == 0) {
      std::fprintf(stderr, "unknown text: [%s]\n", stop.text.c_str());
      Finding("stopped with a text that is no known message", variant);
    }
  }
  // Any other exception escapes and libFuzzer reports it as a crash.
  std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> simulatorTexts = KnownTexts(Variant::Simulator);
  static const std::set<std::string> calculatorTexts = KnownTexts(Variant::Calculator);
  ReadOnce(data, size, Variant::Simulator, simulatorTexts);
  ReadOnce(data, size, Variant::Calculator, calculatorTexts);
  return 0;
}
