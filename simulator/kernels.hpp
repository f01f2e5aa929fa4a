// The processor-specific kernels of the block replicate: the generator's
// block fill and the allele draw's threshold count, chosen together, here
// only, from one probe of the processor.
#pragma once

#include <cstdint>

namespace exc {

struct BlockLanes;

// Fills `out` with the next block of the lanes' values and moves the lanes
// on to the next block (uniform_block.hpp).
using BlockFill = void (*)(BlockLanes& lanes, std::int32_t* out);

// out[i] = 1 + the number of below[j] (j < count) that r[i] exceeds, for
// i < n (raw_decisions.hpp).
using ThresholdCount = void (*)(const std::int32_t* below, std::int32_t count, const std::int32_t* r, std::int32_t* out,
                                std::int32_t n);

// Best is the widest set the processor takes. Sse2 and Avx2 exist on
// x86-64 only; Portable runs everywhere.
enum class KernelChoice { Best, Portable, Sse2, Avx2 };

// Every named set, for the tests and benchmarks to run each one the
// processor takes.
inline constexpr KernelChoice kKernelChoices[] = {KernelChoice::Portable, KernelChoice::Sse2, KernelChoice::Avx2};

struct KernelSet {
  KernelChoice choice;  // never Best: the set Best resolved to
  BlockFill fill;
  ThresholdCount count;
};

// Whether the running processor can take the set.
bool ProcessorTakes(KernelChoice choice);

// The set `choice` names. Throws std::invalid_argument when the processor
// cannot take it: a test that asks for a set must not get another one.
KernelSet ChooseKernels(KernelChoice choice = KernelChoice::Best);

const char* KernelName(KernelChoice choice);

}  // namespace exc
