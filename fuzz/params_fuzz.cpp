// libFuzzer target for the parameter reader of both variants. A broken
// property, an escaping exception, a crash, a hang or a sanitizer report is a
// finding; add its input to fuzz/corpus/ and the corpus replay test keeps it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/params_property.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (exc::Variant variant : {exc::Variant::Simulator, exc::Variant::Calculator}) {
    const std::string finding = exc::fuzz::CheckReading(variant, data, size);
    if (!finding.empty()) {
      std::fprintf(stderr, "finding (%s variant): %s\n",
                   variant == exc::Variant::Simulator ? "simulator" : "calculator", finding.c_str());
      std::abort();
    }
  }
  return 0;
}
