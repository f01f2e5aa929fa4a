// The simulator's one random stream: a Park-Miller step (Schrage's method)
// combined with a 32-bit xorshift by exclusive or.
#pragma once

#include <bit>
#include <cstdint>

namespace exc {

// Bits of (1 - 2^-24) / 2^31, just below 2^-31: turns the odd integer into a
// deviate strictly between 0 and 1.
inline const float kUniformScale = std::bit_cast<float>(std::uint32_t{0x2FFFFFFF});

struct OddDraw {
  std::int32_t r;  // odd, 1 .. 2147483647
  float scale;     // UniformScale after the step
};

// The generator's state for a whole run; seeded once from `Seed` at the first
// step and never reset.
struct UniformState {
  std::int32_t Seed = 0;
  std::int32_t ParkMillerWord = -1;  // -1 makes the first step initialise
  std::int32_t XorShiftWord = -1;
  float UniformScale = 0.0f;

  // The one generator step; every draw of a run goes through it.
  std::int32_t Step() {
    if (Seed <= 0 || ParkMillerWord < 0) [[unlikely]] {
      Reinitialise();
    }
    auto x = static_cast<std::uint32_t>(XorShiftWord);
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    XorShiftWord = static_cast<std::int32_t>(x);
    const std::int32_t k = ParkMillerWord / 127773;
    std::int32_t w = 16807 * (ParkMillerWord - k * 127773) - 2836 * k;
    if (w < 0) w += 2147483647;
    ParkMillerWord = w;
    return ((XorShiftWord ^ ParkMillerWord) & 0x7FFFFFFF) | 1;
  }

  float Deviate() {
    const std::int32_t r = Step();
    return static_cast<float>(r) * UniformScale;
  }

  OddDraw OddInteger() {
    const std::int32_t r = Step();
    return {r, UniformScale};
  }

 private:
  void Reinitialise() {
    // Wrapping arithmetic keeps the seeds the checks reject (magnitude or
    // magnitude + 1 beyond the 32-bit range) defined, if degenerate.
    const std::uint32_t seed = static_cast<std::uint32_t>(Seed);
    const std::uint32_t magnitude = Seed < 0 ? 0u - seed : seed;
    UniformScale = kUniformScale;
    ParkMillerWord = static_cast<std::int32_t>((888889999u ^ magnitude) | 1u);
    XorShiftWord = static_cast<std::int32_t>(777755555u ^ magnitude);
    Seed = static_cast<std::int32_t>(magnitude + 1u);
  }
};

// A draw source on the plain stream that counts its generator steps; the
// tests and the benchmarks measure what a replicate consumes with it.
struct CountingStream {
  UniformState state;
  std::int64_t steps = 0;

  float Deviate() {
    ++steps;
    return state.Deviate();
  }
  OddDraw OddInteger() {
    ++steps;
    return state.OddInteger();
  }
};

inline float UniformDeviate(UniformState& state) { return state.Deviate(); }
inline OddDraw UniformOddInteger(UniformState& state) { return state.OddInteger(); }

}  // namespace exc
