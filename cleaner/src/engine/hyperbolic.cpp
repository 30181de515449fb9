#include "hyperbolic.h"

#include "processor.h"

#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace wd {
namespace {

// The C library's tanhf is not correctly rounded, nor is the expm1f it is built on, so
// a more accurate tangent rounded to float would differ from it. The lanes below follow
// its single-precision steps instead: every operation rounded to float on its own, no
// fused multiply-add, each lane ending with the result of the branch the scalar code
// takes for its value. The branches depend on the bits of |x|, hence the constants.

constexpr size_t kLanes = 8;

// Bits of |x| bounding the ranges of the tangent. Below 2^-55 the library returns
// x (1 + x); the general branch gives the same x there, expm1 returning its argument.
constexpr int32_t kOneBits = 0x3f800000;         // from 1: built on expm1 of 2|x|, else of -2|x|
constexpr int32_t kSaturatedBits = 0x41b00000;   // from 22: 1 - 1e-30, which rounds to 1
constexpr int32_t kNonFiniteBits = 0x7f800000;   // infinities and NaNs: 1/x ± 1

// Bits of |u| bounding the ranges of expm1 u. Below 3 ln2 / 2 the library takes k = ±1
// without computing it; the computed multiple is ±1 there too.
constexpr int32_t kExactBits = 0x33000000;    // below 2^-25: u itself
constexpr int32_t kReducedBits = 0x3eb17218;  // above ln2 / 2: u - k ln2, k the nearest integer

// ln2 in two parts, the first with enough trailing zero bits that k ln2_hi is exact.
constexpr float kLn2High = 6.9313812256e-01f;
constexpr float kLn2Low = 9.0580006145e-06f;
constexpr float kInverseLn2 = 1.4426950216e+00f;
constexpr std::array<float, 5> kQ = {-3.3333335072e-02f, 1.5873016091e-03f, -7.9365076090e-05f,
                                     4.0082177293e-06f, -2.0109921195e-07f};

#define WD_WIDE __attribute__((target("avx2"), always_inline)) inline

WD_WIDE __m256 splat(float value) { return _mm256_set1_ps(value); }
WD_WIDE __m256i splat_bits(int32_t value) { return _mm256_set1_epi32(value); }
WD_WIDE __m256 from_bits(__m256i bits) { return _mm256_castsi256_ps(bits); }
WD_WIDE __m256i bits_of(__m256 value) { return _mm256_castps_si256(value); }
WD_WIDE __m256 add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
WD_WIDE __m256 sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
WD_WIDE __m256 mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
WD_WIDE __m256 divide(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
WD_WIDE __m256 negate(__m256 a) { return _mm256_xor_ps(a, from_bits(splat_bits(INT32_MIN))); }

// Lanes where the mask is set take `yes`, the others `no`.
WD_WIDE __m256 pick(__m256i mask, __m256 yes, __m256 no) {
  return _mm256_blendv_ps(no, yes, from_bits(mask));
}
WD_WIDE __m256i below(__m256i a, int32_t bound) { return _mm256_cmpgt_epi32(splat_bits(bound), a); }
WD_WIDE __m256i above(__m256i a, int32_t bound) { return _mm256_cmpgt_epi32(a, splat_bits(bound)); }
WD_WIDE __m256i at_least(__m256i a, int32_t bound) { return above(a, bound - 1); }
WD_WIDE __m256i equal(__m256i a, int32_t value) { return _mm256_cmpeq_epi32(a, splat_bits(value)); }

// y times 2^k, by adding k to the exponent field as the scalar code does.
WD_WIDE __m256 scale(__m256 y, __m256i k) {
  return from_bits(_mm256_add_epi32(bits_of(y), _mm256_slli_epi32(k, 23)));
}

// expm1 u for the arguments the tangent passes: u in [2, 44) or in (-2, -2^-54]. The
// reduction multiple k is then 3 to 63 or 0 to -3: never 1, and never a value past
// expm1's overflow filtering. k ln2_hi is exact for each such k, and k = 0 leaves u
// unreduced with no correction term.
WD_WIDE __m256 expm1_of_tangent_argument(__m256 u) {
  const __m256i bits = bits_of(u);
  const __m256i magnitude = _mm256_and_si256(bits, splat_bits(0x7fffffff));
  const __m256i negative = _mm256_srai_epi32(bits, 31);
  const __m256i nearest = _mm256_cvttps_epi32(
      add(mul(splat(kInverseLn2), u), pick(negative, splat(-0.5f), splat(0.5f))));
  const __m256i k = _mm256_and_si256(above(magnitude, kReducedBits), nearest);
  const __m256 kf = _mm256_cvtepi32_ps(k);
  const __m256 hi = sub(u, mul(kf, splat(kLn2High)));
  const __m256 lo = mul(kf, splat(kLn2Low));
  const __m256 r = sub(hi, lo);
  const __m256 c = sub(sub(hi, r), lo);

  const __m256 half_r = mul(splat(0.5f), r);
  const __m256 square = mul(r, half_r);
  __m256 series = splat(kQ[4]);
  for (size_t i = kQ.size() - 1; i-- > 0;) series = add(splat(kQ[i]), mul(square, series));
  const __m256 r1 = add(splat(1.0f), mul(square, series));
  const __m256 t = sub(splat(3.0f), mul(r1, half_r));
  const __m256 e = mul(square, divide(sub(r1, t), sub(splat(6.0f), mul(r, t))));
  const __m256 k_zero = sub(r, sub(mul(r, e), square));

  const __m256 ec = sub(sub(mul(r, sub(e, c)), c), square);
  const __m256 k_minus_one = sub(mul(splat(0.5f), sub(r, ec)), splat(0.5f));
  // The other multiples form the result around 1 (below -1 and past 56, less the 1
  // after scaling) or around 1 - 2^-k (3 to 22); from 23 to 56 the 2^-k goes in first,
  // as the 1 would absorb it.
  const __m256i outer = _mm256_or_si256(below(k, -1), above(k, 56));
  const __m256i low_one = _mm256_sub_epi32(splat_bits(0x3f800000),
                                           _mm256_srlv_epi32(splat_bits(0x1000000), k));
  const __m256 one_part = pick(outer, splat(1.0f), from_bits(low_one));
  const __m256 around_one = scale(sub(one_part, sub(ec, r)), k);
  const __m256 tail_part = from_bits(_mm256_slli_epi32(_mm256_sub_epi32(splat_bits(0x7f), k), 23));
  const __m256 around_tail = scale(add(sub(r, add(ec, tail_part)), splat(1.0f)), k);

  __m256 result = pick(above(k, 22), around_tail, around_one);
  result = pick(outer, sub(around_one, splat(1.0f)), result);
  result = pick(equal(k, -1), k_minus_one, result);
  result = pick(equal(k, 0), k_zero, result);
  return pick(below(magnitude, kExactBits), u, result);
}

WD_WIDE __m256 tangent_lanes(__m256 x) {
  const __m256i bits = bits_of(x);
  const __m256i sign = _mm256_and_si256(bits, splat_bits(INT32_MIN));
  const __m256i magnitude = _mm256_xor_si256(bits, sign);
  const __m256i large = at_least(magnitude, kOneBits);
  const __m256 twice = mul(splat(2.0f), from_bits(magnitude));
  const __m256 u = pick(large, twice, negate(twice));
  const __m256 t = expm1_of_tangent_argument(u);
  // Each lane needs one quotient: 2 / (t + 2) from 1 on, -t / (t + 2) below, and 1 / x
  // for the infinities and NaNs, so one division serves all three.
  const __m256i non_finite = at_least(magnitude, kNonFiniteBits);
  const __m256 numerator = pick(non_finite, splat(1.0f), pick(large, splat(2.0f), negate(t)));
  const __m256 denominator = pick(non_finite, x, add(t, splat(2.0f)));
  const __m256 q = divide(numerator, denominator);
  const __m256 built = pick(large, sub(splat(1.0f), q), q);
  const __m256 z = pick(at_least(magnitude, kSaturatedBits), splat(1.0f), built);
  const __m256 one_signed = _mm256_or_ps(splat(1.0f), from_bits(sign));
  return pick(non_finite, add(q, one_signed), _mm256_xor_ps(z, from_bits(sign)));
}

#undef WD_WIDE

__attribute__((target("avx2"))) void tangents_wide(std::span<float> values) {
  const size_t n = values.size();
  size_t i = 0;
  for (; n - i >= kLanes; i += kLanes) {
    float* at = values.data() + i;
    _mm256_storeu_ps(at, tangent_lanes(_mm256_loadu_ps(at)));
  }
  if (i == n) return;
  // The last few values go through the lanes too, padded with zeros whose tangents are
  // dropped.
  std::array<float, kLanes> last{};
  std::copy(values.begin() + i, values.end(), last.begin());
  _mm256_storeu_ps(last.data(), tangent_lanes(_mm256_loadu_ps(last.data())));
  std::copy(last.begin(), last.begin() + (n - i), values.begin() + i);
}

void tangents_each(std::span<float> values) {
  for (float& value : values) value = tanhf(value);
}

}  // namespace

void hyperbolic_tangents(std::span<float> values) {
  if (processor_has_avx2()) {
    tangents_wide(values);
  } else {
    tangents_each(values);
  }
}

}  // namespace wd
