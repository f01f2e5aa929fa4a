#include "simulator/kernels.hpp"

#include <stdexcept>
#include <string>

#include "simulator/raw_decisions.hpp"
#include "simulator/uniform_block.hpp"

namespace exc {

namespace {

// The one probe of the processor.
bool HasAvx2() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

}  // namespace

bool ProcessorTakes(KernelChoice choice) {
  switch (choice) {
    case KernelChoice::Best:
    case KernelChoice::Portable:
      return true;
    case KernelChoice::Sse2:
#if defined(__x86_64__)
      return true;  // part of the x86-64 base
#else
      return false;
#endif
    case KernelChoice::Avx2:
      return HasAvx2();
  }
  return false;
}

KernelSet ChooseKernels(KernelChoice choice) {
  if (!ProcessorTakes(choice))
    throw std::invalid_argument(std::string("this processor cannot run the ") + KernelName(choice) + " kernels");
  if (choice == KernelChoice::Best) {
#if defined(__x86_64__)
    choice = HasAvx2() ? KernelChoice::Avx2 : KernelChoice::Sse2;
#else
    choice = KernelChoice::Portable;
#endif
  }
  switch (choice) {
#if defined(__x86_64__)
    case KernelChoice::Avx2:
      return {choice, FillBlockAvx2, CountBelowAvx2};
    case KernelChoice::Sse2:
      // The portable count works on 16-byte vectors: SSE2 code on x86-64.
      return {choice, FillBlockSse2, CountBelowPortable};
#endif
    default:
      return {KernelChoice::Portable, FillBlockPortable, CountBelowPortable};
  }
}

const char* KernelName(KernelChoice choice) {
  switch (choice) {
    case KernelChoice::Best:
      return "best";
    case KernelChoice::Portable:
      return "portable";
    case KernelChoice::Sse2:
      return "sse2";
    case KernelChoice::Avx2:
      return "avx2";
  }
  return "unknown";
}

}  // namespace exc
