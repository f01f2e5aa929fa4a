// The run's random stream produced ahead of use, in blocks.
//
// For a valid seed the stream r1, r2, ... is a fixed sequence that does not
// depend on how the draws are used, so it can be computed in bulk: 32
// lanes each produce a contiguous stretch of a block, the Park-Miller words
// advancing by a Mersenne reduction instead of Schrage's division and both
// words jumping ahead between blocks. The values are exactly those of
// UniformState::Step, one for one.
#pragma once

#include <array>
#include <cstdint>

#include "simulator/kernels.hpp"
#include "simulator/uniform.hpp"

namespace exc {

inline constexpr int kBlockLanes = 32;

// The lanes' words, each lane at the stream position of its next value.
// Enough lanes that their chains of dependent operations overlap.
struct BlockLanes {
  alignas(32) std::uint32_t xorShift[kBlockLanes];
  alignas(32) std::uint32_t parkMiller[kBlockLanes];
};

class BlockStream {
 public:
  static constexpr int kLaneValues = 64;
  static constexpr int kBlockValues = kBlockLanes * kLaneValues;
  // The most values a caller may reserve at once.
  static constexpr int kMaxReserve = 1024;

  // `seed` as UniformState::Seed holds it before the first step; the fill
  // is that of `kernels`, which the replicate on this stream also takes.
  explicit BlockStream(std::int32_t seed, const KernelSet& kernels = ChooseKernels());
  BlockStream(const BlockStream&) = delete;
  BlockStream& operator=(const BlockStream&) = delete;

  // The next step's odd integer, 1 .. 2147483647.
  std::int32_t Step() {
    if (pos_ == end_) [[unlikely]] Refill(1);
    return buffer_.data()[pos_++];
  }
  float Deviate() { return static_cast<float>(Step()) * kUniformScale; }
  OddDraw OddInteger() { return {Step(), kUniformScale}; }

  // At least n (<= kMaxReserve) values from the current position on; a
  // caller reads them through the pointer and hands back, with Commit, the
  // pointer moved past the values it used. Values it only looked at are not
  // used up.
  const std::int32_t* Reserve(int n) {
    if (end_ - pos_ < n) [[unlikely]] Refill(n);
    return buffer_.data() + pos_;
  }
  void Commit(const std::int32_t* next) { pos_ = static_cast<int>(next - buffer_.data()); }

  // Steps taken so far.
  std::int64_t Position() const { return base_ + pos_; }

  const KernelSet& Kernels() const { return kernels_; }

 private:
  void Refill(int n);

  KernelSet kernels_;
  BlockLanes lanes_{};
  // Seeds outside the valid range re-initialise on every step; their stream
  // is taken from the serial step.
  bool serial_ = false;
  UniformState serialState_;
  int pos_ = 0;
  int end_ = 0;
  std::int64_t base_ = 0;
  alignas(64) std::array<std::int32_t, kBlockValues + kMaxReserve> buffer_{};
};

// The fill kernels, each a BlockFill producing kBlockValues values; a
// KernelSet names one.
void FillBlockPortable(BlockLanes& lanes, std::int32_t* out);
#if defined(__x86_64__)
void FillBlockSse2(BlockLanes& lanes, std::int32_t* out);
void FillBlockAvx2(BlockLanes& lanes, std::int32_t* out);
#endif

}  // namespace exc
