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
// the other seven stretches to its own stretch of the next block.
constexpr int kJump = 7 * kLaneValues;

std::uint32_t XorShift(std::uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// p mod (2^31 - 1) for p < 2^62, by folding the bits above 31 onto the low
// ones (2^31 is 1 modulo the modulus). The fold leaves at most twice the
// modulus minus one; a word equal to the modulus must come out as 0, as
// Schrage's step makes it, hence >= rather than >.
std::uint32_t ReduceMersenne(std::uint64_t p) {
  std::uint64_t s = (p & kModulus) + (p >> 31);
  if (s >= kModulus) s -= kModulus;
  return static_cast<std::uint32_t>(s);
}

std::uint32_t MulMod(std::uint32_t a, std::uint32_t b) { return ReduceMersenne(std::uint64_t{a} * b); }

std::int32_t Combine(std::uint32_t x, std::uint32_t w) { return static_cast<std::int32_t>(((x ^ w) & 0x7FFFFFFFu) | 1u); }

// The xorshift step is linear over GF(2); column b of its kJump-th power is
// the image of bit b alone.
struct Jump {
  std::array<std::uint32_t, 32> xorShiftColumns{};
  std::uint32_t parkMillerFactor = 1;
  Jump() {
    for (int b = 0; b < 32; ++b) {
      std::uint32_t x = std::uint32_t{1} << b;
      for (int i = 0; i < kJump; ++i) x = XorShift(x);
      xorShiftColumns[static_cast<std::size_t>(b)] = x;
    }
    for (int i = 0; i < kJump; ++i) parkMillerFactor = MulMod(parkMillerFactor, kMultiplier);
  }
  std::uint32_t XorShiftAhead(std::uint32_t x) const {
    std::uint32_t y = 0;
    for (int b = 0; b < 32; ++b) y ^= xorShiftColumns[static_cast<std::size_t>(b)] & (0u - ((x >> b) & 1u));
    return y;
  }
};

const Jump& TheJump() {
  static const Jump jump;
  return jump;
}

void JumpLanes(BlockLanes& lanes) {
  const Jump& jump = TheJump();
  for (int j = 0; j < 8; ++j) {
    lanes.xorShift[j] = jump.XorShiftAhead(lanes.xorShift[j]);
    lanes.parkMiller[j] = MulMod(lanes.parkMiller[j], jump.parkMillerFactor);
  }
}

}  // namespace

void FillBlockPortable(BlockLanes& lanes, std::int32_t* out) {
  for (int t0 = 0; t0 < kLaneValues; t0 += 8) {
    std::int32_t tile[8][8];
    for (int t = 0; t < 8; ++t) {
      for (int j = 0; j < 8; ++j) {
        tile[t][j] = Combine(lanes.xorShift[j], lanes.parkMiller[j]);
        lanes.xorShift[j] = XorShift(lanes.xorShift[j]);
        lanes.parkMiller[j] = MulMod(lanes.parkMiller[j], kMultiplier);
      }
    }
    for (int j = 0; j < 8; ++j)
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
  __m128i x[2];
  __m128i w[2];
  for (int h = 0; h < 2; ++h) {
    x[h] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.xorShift + 4 * h));
    w[h] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.parkMiller + 4 * h));
  }
  for (int t0 = 0; t0 < kLaneValues; t0 += 4) {
    __m128i r[2][4];
    for (int t = 0; t < 4; ++t) {
      for (int h = 0; h < 2; ++h) {
        r[h][t] = Combine4(x[h], w[h]);
        x[h] = XorShift4(x[h]);
        w[h] = ParkMiller4(w[h]);
      }
    }
    for (int h = 0; h < 2; ++h) Store4x4(r[h][0], r[h][1], r[h][2], r[h][3], out + 4 * h * kLaneValues + t0);
  }
  for (int h = 0; h < 2; ++h) {
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes.xorShift + 4 * h), x[h]);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes.parkMiller + 4 * h), w[h]);
  }
  JumpLanes(lanes);
}

namespace {

// Reduce2 on four products.
__attribute__((target("avx2"), always_inline)) inline __m256i Reduce4(__m256i p) {
  const __m256i m = _mm256_set1_epi64x(kModulus);
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i s = _mm256_add_epi64(_mm256_and_si256(p, m), _mm256_srli_epi64(p, 31));
  const __m256i t = _mm256_add_epi64(s, one);
  return _mm256_sub_epi64(_mm256_add_epi64(_mm256_and_si256(t, m), _mm256_srli_epi64(t, 31)), one);
}

}  // namespace

__attribute__((target("avx2"))) void FillBlockAvx2(BlockLanes& lanes, std::int32_t* out) {
  const __m256i a = _mm256_set1_epi32(static_cast<int>(kMultiplier));
  const __m256i low31 = _mm256_set1_epi32(0x7FFFFFFF);
  const __m256i one32 = _mm256_set1_epi32(1);
  __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.xorShift));
  __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.parkMiller));
  for (int t0 = 0; t0 < kLaneValues; t0 += 8) {
    __m256i r[8];
    for (int t = 0; t < 8; ++t) {
      r[t] = _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(x, w), low31), one32);
      x = _mm256_xor_si256(x, _mm256_slli_epi32(x, 13));
      x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 17));
      x = _mm256_xor_si256(x, _mm256_slli_epi32(x, 5));
      const __m256i even = Reduce4(_mm256_mul_epu32(w, a));
      const __m256i odd = Reduce4(_mm256_mul_epu32(_mm256_srli_epi64(w, 32), a));
      w = _mm256_or_si256(even, _mm256_slli_epi64(odd, 32));
    }
    // Transpose the 8 steps x 8 lanes tile so each lane's steps lie in order.
    __m256i u[8];
    for (int q = 0; q < 2; ++q) {
      const __m256i t0v = _mm256_unpacklo_epi32(r[4 * q + 0], r[4 * q + 1]);
      const __m256i t1v = _mm256_unpackhi_epi32(r[4 * q + 0], r[4 * q + 1]);
      const __m256i t2v = _mm256_unpacklo_epi32(r[4 * q + 2], r[4 * q + 3]);
      const __m256i t3v = _mm256_unpackhi_epi32(r[4 * q + 2], r[4 * q + 3]);
      u[4 * q + 0] = _mm256_unpacklo_epi64(t0v, t2v);
      u[4 * q + 1] = _mm256_unpackhi_epi64(t0v, t2v);
      u[4 * q + 2] = _mm256_unpacklo_epi64(t1v, t3v);
      u[4 * q + 3] = _mm256_unpackhi_epi64(t1v, t3v);
    }
    for (int j = 0; j < 4; ++j) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j * kLaneValues + t0),
                          _mm256_permute2x128_si256(u[j], u[4 + j], 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (4 + j) * kLaneValues + t0),
                          _mm256_permute2x128_si256(u[j], u[4 + j], 0x31));
    }
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.xorShift), x);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.parkMiller), w);
  JumpLanes(lanes);
}

bool BlockStream::HasAvx2() { return __builtin_cpu_supports("avx2"); }

#else

bool BlockStream::HasAvx2() { return false; }

#endif

BlockStream::BlockStream(std::int32_t seed, Kernel kernel) {
  fill_ = FillBlockPortable;
#if defined(__x86_64__)
  if (kernel == Kernel::Sse2 || (kernel == Kernel::Best && !HasAvx2())) fill_ = FillBlockSse2;
  if ((kernel == Kernel::Avx2 || kernel == Kernel::Best) && HasAvx2()) fill_ = FillBlockAvx2;
#else
  (void)kernel;
#endif
  serialState_.Seed = seed;
  UniformState probe = serialState_;
  probe.Step();
  serial_ = probe.Seed <= 0 || probe.ParkMillerWord < 0;
  if (serial_) return;
  // Lane j begins at step 1 + j * kLaneValues of the stream.
  for (int j = 0; j < 8; ++j) {
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
    fill_(lanes_, out);
  }
  pos_ = 0;
  end_ = kept + kBlockValues;
}

}  // namespace exc
