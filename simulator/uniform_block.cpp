#include "simulator/uniform_block.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace exc {

namespace {

constexpr std::uint32_t kModulus = 2147483647u;
constexpr std::uint32_t kMultiplier = 16807u;
constexpr int kLaneValues = BlockStream::kLaneValues;
// After its stretch a lane stands where the next lane began; it jumps over
// the other lanes' stretches to its own stretch of the next block.
constexpr int kJump = (kBlockLanes - 1) * kLaneValues;

std::uint32_t XorShift(std::uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// p mod (2^31 - 1) by folding the bits above 31 onto the low ones (2^31 is
// 1 modulo the modulus), for the products the kernels form: a Park-Miller
// word times 16807 or the jump factor, all below the modulus. The lanes
// start from the serial state after its first step, whose division has
// already mapped the one starting word equal to the modulus (seed
// 1258593648) to 0, so no word here reaches the modulus. Then p is at most
// (2^31 - 2)^2, the fold leaves at most twice the modulus minus 3, and one
// subtraction ends below the modulus. The fold equals the modulus only for
// a nonzero multiple of it, which no such product is (the modulus is
// prime), so >= and > agree here.
std::uint32_t ReduceMersenne(std::uint64_t p) {
  std::uint64_t s = (p & kModulus) + (p >> 31);
  if (s >= kModulus) s -= kModulus;
  return static_cast<std::uint32_t>(s);
}

std::uint32_t MulMod(std::uint32_t a, std::uint32_t b) { return ReduceMersenne(std::uint64_t{a} * b); }

std::int32_t Combine(std::uint32_t x, std::uint32_t w) { return static_cast<std::int32_t>(((x ^ w) & 0x7FFFFFFFu) | 1u); }

// The xorshift step is linear over GF(2): the kJump-th power maps a word to
// the exclusive or of the images of its bytes, each looked up in a table.
struct Jump {
  std::array<std::array<std::uint32_t, 256>, 4> xorShiftBytes{};
  std::uint32_t parkMillerFactor = 1;
  Jump() {
    std::array<std::uint32_t, 32> column{};  // the image of bit b alone
    for (int b = 0; b < 32; ++b) {
      std::uint32_t x = std::uint32_t{1} << b;
      for (int i = 0; i < kJump; ++i) x = XorShift(x);
      column[static_cast<std::size_t>(b)] = x;
    }
    for (std::size_t byte = 0; byte < 4; ++byte)
      for (std::uint32_t v = 0; v < 256; ++v) {
        std::uint32_t y = 0;
        for (std::size_t b = 0; b < 8; ++b)
          if ((v >> b) & 1u) y ^= column[8 * byte + b];
        xorShiftBytes[byte][v] = y;
      }
    for (int i = 0; i < kJump; ++i) parkMillerFactor = MulMod(parkMillerFactor, kMultiplier);
  }
  std::uint32_t XorShiftAhead(std::uint32_t x) const {
    return xorShiftBytes[0][x & 0xFFu] ^ xorShiftBytes[1][(x >> 8) & 0xFFu] ^ xorShiftBytes[2][(x >> 16) & 0xFFu] ^
           xorShiftBytes[3][x >> 24];
  }
};

const Jump& TheJump() {
  static const Jump jump;
  return jump;
}

void JumpLanes(BlockLanes& lanes) {
  const Jump& jump = TheJump();
  for (int j = 0; j < kBlockLanes; ++j) {
    lanes.xorShift[j] = jump.XorShiftAhead(lanes.xorShift[j]);
    lanes.parkMiller[j] = MulMod(lanes.parkMiller[j], jump.parkMillerFactor);
  }
}

}  // namespace

void FillBlockPortable(BlockLanes& lanes, std::int32_t* out) {
  for (int t0 = 0; t0 < kLaneValues; t0 += 8) {
    std::int32_t tile[8][kBlockLanes];
    for (int t = 0; t < 8; ++t) {
      for (int j = 0; j < kBlockLanes; ++j) {
        tile[t][j] = Combine(lanes.xorShift[j], lanes.parkMiller[j]);
        lanes.xorShift[j] = XorShift(lanes.xorShift[j]);
        lanes.parkMiller[j] = MulMod(lanes.parkMiller[j], kMultiplier);
      }
    }
    for (int j = 0; j < kBlockLanes; ++j)
      for (int t = 0; t < 8; ++t) out[j * kLaneValues + t0 + t] = tile[t][j];
  }
  JumpLanes(lanes);
}

#if defined(__x86_64__)

namespace {

// The Mersenne reduction of two 64-bit products at once; the conditional
// subtraction is done as (t & M) + (t >> 31) - 1 with t = s + 1, which needs
// no 64-bit compare.
__m128i Reduce2(__m128i p) {
  const __m128i m = _mm_set1_epi64x(kModulus);
  const __m128i one = _mm_set1_epi64x(1);
  const __m128i s = _mm_add_epi64(_mm_and_si128(p, m), _mm_srli_epi64(p, 31));
  const __m128i t = _mm_add_epi64(s, one);
  return _mm_sub_epi64(_mm_add_epi64(_mm_and_si128(t, m), _mm_srli_epi64(t, 31)), one);
}

__m128i ParkMiller4(__m128i w) {
  const __m128i a = _mm_set1_epi32(static_cast<int>(kMultiplier));
  const __m128i even = Reduce2(_mm_mul_epu32(w, a));
  const __m128i odd = Reduce2(_mm_mul_epu32(_mm_srli_epi64(w, 32), a));
  return _mm_or_si128(even, _mm_slli_epi64(odd, 32));
}

__m128i XorShift4(__m128i x) {
  x = _mm_xor_si128(x, _mm_slli_epi32(x, 13));
  x = _mm_xor_si128(x, _mm_srli_epi32(x, 17));
  return _mm_xor_si128(x, _mm_slli_epi32(x, 5));
}

__m128i Combine4(__m128i x, __m128i w) {
  return _mm_or_si128(_mm_and_si128(_mm_xor_si128(x, w), _mm_set1_epi32(0x7FFFFFFF)), _mm_set1_epi32(1));
}

// Four steps of four lanes, stored lane by lane.
void Store4x4(__m128i r0, __m128i r1, __m128i r2, __m128i r3, std::int32_t* out) {
  const __m128i a0 = _mm_unpacklo_epi32(r0, r1);
  const __m128i a1 = _mm_unpacklo_epi32(r2, r3);
  const __m128i a2 = _mm_unpackhi_epi32(r0, r1);
  const __m128i a3 = _mm_unpackhi_epi32(r2, r3);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * kLaneValues), _mm_unpacklo_epi64(a0, a1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * kLaneValues), _mm_unpackhi_epi64(a0, a1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kLaneValues), _mm_unpacklo_epi64(a2, a3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * kLaneValues), _mm_unpackhi_epi64(a2, a3));
}

}  // namespace

void FillBlockSse2(BlockLanes& lanes, std::int32_t* out) {
  // Sixteen lanes at a time, as four independent chains of four.
  for (int half = 0; half < kBlockLanes; half += 16) {
    __m128i x[4];
    __m128i w[4];
    for (int c = 0; c < 4; ++c) {
      x[c] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.xorShift + half + 4 * c));
      w[c] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.parkMiller + half + 4 * c));
    }
    for (int t0 = 0; t0 < kLaneValues; t0 += 4) {
      __m128i r[4][4];
      for (int t = 0; t < 4; ++t) {
        for (int c = 0; c < 4; ++c) {
          r[c][t] = Combine4(x[c], w[c]);
          x[c] = XorShift4(x[c]);
          w[c] = ParkMiller4(w[c]);
        }
      }
      for (int c = 0; c < 4; ++c) Store4x4(r[c][0], r[c][1], r[c][2], r[c][3], out + (half + 4 * c) * kLaneValues + t0);
    }
    for (int c = 0; c < 4; ++c) {
      _mm_store_si128(reinterpret_cast<__m128i*>(lanes.xorShift + half + 4 * c), x[c]);
      _mm_store_si128(reinterpret_cast<__m128i*>(lanes.parkMiller + half + 4 * c), w[c]);
    }
  }
  JumpLanes(lanes);
}

namespace {

// 16807 w mod (2^31 - 1) in 32-bit lanes: with w = wh 2^16 + wl and
// 2^31 = 1 modulo the modulus, wh 16807 2^16 folds to its bits below 2^15
// shifted up by 16 plus the bits above; the three terms stay below 2^32.
// One more fold leaves at most 2^31, and the unsigned minimum of s and
// s - modulus subtracts the modulus when s reaches it.
__attribute__((target("avx2"), always_inline)) inline __m256i ParkMiller8(__m256i w) {
  const __m256i a = _mm256_set1_epi32(static_cast<int>(kMultiplier));
  const __m256i m = _mm256_set1_epi32(static_cast<int>(kModulus));
  const __m256i high = _mm256_mullo_epi32(_mm256_srli_epi32(w, 16), a);
  const __m256i low = _mm256_mullo_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0xFFFF)), a);
  const __m256i folded = _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(high, _mm256_set1_epi32(0x7FFF)), 16),
                                          _mm256_srli_epi32(high, 15));
  const __m256i sum = _mm256_add_epi32(low, folded);
  const __m256i s = _mm256_add_epi32(_mm256_and_si256(sum, m), _mm256_srli_epi32(sum, 31));
  return _mm256_min_epu32(s, _mm256_sub_epi32(s, m));
}

__attribute__((target("avx2"), always_inline)) inline __m256i XorShift8(__m256i x) {
  x = _mm256_xor_si256(x, _mm256_slli_epi32(x, 13));
  x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 17));
  return _mm256_xor_si256(x, _mm256_slli_epi32(x, 5));
}

// Eight steps of eight lanes, stored lane by lane.
__attribute__((target("avx2"), always_inline)) inline void Store8x8(const __m256i* r, std::int32_t* out) {
  __m256i u[8];
  for (int q = 0; q < 2; ++q) {
    const __m256i t0 = _mm256_unpacklo_epi32(r[4 * q + 0], r[4 * q + 1]);
    const __m256i t1 = _mm256_unpackhi_epi32(r[4 * q + 0], r[4 * q + 1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[4 * q + 2], r[4 * q + 3]);
    const __m256i t3 = _mm256_unpackhi_epi32(r[4 * q + 2], r[4 * q + 3]);
    u[4 * q + 0] = _mm256_unpacklo_epi64(t0, t2);
    u[4 * q + 1] = _mm256_unpackhi_epi64(t0, t2);
    u[4 * q + 2] = _mm256_unpacklo_epi64(t1, t3);
    u[4 * q + 3] = _mm256_unpackhi_epi64(t1, t3);
  }
  for (int j = 0; j < 4; ++j) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j * kLaneValues), _mm256_permute2x128_si256(u[j], u[4 + j], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (4 + j) * kLaneValues),
                        _mm256_permute2x128_si256(u[j], u[4 + j], 0x31));
  }
}

}  // namespace

__attribute__((target("avx2"))) void FillBlockAvx2(BlockLanes& lanes, std::int32_t* out) {
  const __m256i low31 = _mm256_set1_epi32(0x7FFFFFFF);
  const __m256i one = _mm256_set1_epi32(1);
  // All 32 lanes at once, as four independent chains of eight.
  __m256i x[4];
  __m256i w[4];
  for (int c = 0; c < 4; ++c) {
    x[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.xorShift + 8 * c));
    w[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.parkMiller + 8 * c));
  }
  for (int t0 = 0; t0 < kLaneValues; t0 += 8) {
    __m256i r[4][8];
    for (int t = 0; t < 8; ++t) {
      for (int c = 0; c < 4; ++c) {
        r[c][t] = _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(x[c], w[c]), low31), one);
        x[c] = XorShift8(x[c]);
        w[c] = ParkMiller8(w[c]);
      }
    }
    for (int c = 0; c < 4; ++c) Store8x8(r[c], out + 8 * c * kLaneValues + t0);
  }
  for (int c = 0; c < 4; ++c) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.xorShift + 8 * c), x[c]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.parkMiller + 8 * c), w[c]);
  }
  JumpLanes(lanes);
}

#endif

BlockStream::BlockStream(std::int32_t seed, const KernelSet& kernels) : kernels_(kernels) {
  serialState_.Seed = seed;
  UniformState probe = serialState_;
  probe.Step();
  serial_ = probe.Seed <= 0 || probe.ParkMillerWord < 0;
  if (serial_) return;
  // Lane j begins at step 1 + j * kLaneValues of the stream.
  for (int j = 0; j < kBlockLanes; ++j) {
    if (j > 0)
      for (int i = 0; i < kLaneValues; ++i) probe.Step();
    lanes_.xorShift[j] = static_cast<std::uint32_t>(probe.XorShiftWord);
    lanes_.parkMiller[j] = static_cast<std::uint32_t>(probe.ParkMillerWord);
  }
}

void BlockStream::Refill(int n) {
  (void)n;  // a refill always leaves at least kBlockValues >= kMaxReserve values
  const int kept = end_ - pos_;
  std::memmove(buffer_.data(), buffer_.data() + pos_, static_cast<std::size_t>(kept) * sizeof(std::int32_t));
  base_ += pos_;
  std::int32_t* out = buffer_.data() + kept;
  if (serial_) {
    for (int i = 0; i < kBlockValues; ++i) out[i] = serialState_.Step();
  } else {
    kernels_.fill(lanes_, out);
  }
  pos_ = 0;
  end_ = kept + kBlockValues;
}

}  // namespace exc
