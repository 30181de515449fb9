#include "exponential.h"

#include "processor.h"

#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wd {
namespace {

// The vector path rests on one property of the C library's expf, checked over every
// float input on this system: it returns the float nearest the exact exponential
// unless that exponential lies within about 0.0016 of a float's last place of a tie
// between two floats. The path computes the exponential in double precision, with a
// relative error below 2^-45, and rounds it to float. Where that double lies at least
// a hundredth of a float's last place from a tie, the exact value is on the same side
// of the tie, so its rounding is the library's result; nearer a tie, the lane asks
// expf itself. The exhaustive comparison with expf is the proof; the margin between
// 0.0016 and 0.01 only keeps a slightly different rounding of the library on the
// right side.
//
// The double result is scale * p(u): x * 32 / ln2 = k + f with k whole and |f| <= 1/2,
// scale = 2^(k / 32) from a table of 2^(i / 32) and the exponent k / 32 (rounded
// down), u = f * ln2 / 32, and p the Taylor polynomial of e^u to degree 5. Errors:
// x * 32 / ln2, below 4096 in magnitude, is rounded once and its constant is rounded,
// together less than 2^-40 in f and so 2^-45.5 relative; |u| <= 0.0109 leaves a
// truncation below u^6 / 720 < 2^-48; the table entries, the polynomial's few
// roundings and the final product add a few 2^-53.
constexpr int kSteps = 32;  // table entries per doubling
constexpr int kStepBits = std::countr_zero(unsigned{kSteps});
constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr double kStepsPerLn2 = kSteps / kLn2;
constexpr double kLn2PerStep = kLn2 / kSteps;

// Inputs whose exponential is a normal float, well clear of overflow and of the
// subnormal range (e^-87 > 2^-126, e^88 < the largest float); everything outside,
// NaN included, takes expf.
constexpr float kLowest = -87.0f;
constexpr float kHighest = 88.0f;

// A double carries 29 more fraction bits than a float. The tie between two floats
// has exactly the top one of those set; the window around it is a hundredth of a
// float's last place, counted in the double's last places.
constexpr int64_t kBelowFloat = (int64_t{1} << 29) - 1;
constexpr int64_t kTie = int64_t{1} << 28;
constexpr int64_t kTieWindow = (int64_t{1} << 29) / 100;

constexpr int kLanes = 8;  // floats per block

const std::array<double, kSteps>& step_powers() {
  static const std::array<double, kSteps> powers = [] {
    std::array<double, kSteps> table{};
    for (int i = 0; i < kSteps; ++i) table[i] = std::exp2(static_cast<double>(i) / kSteps);
    return table;
  }();
  return powers;
}

// The double-precision exponential of four in-range inputs.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d exponential_doubles(
    __m128 x, const double* powers) {
  const __m256d scaled = _mm256_mul_pd(_mm256_cvtps_pd(x), _mm256_set1_pd(kStepsPerLn2));
  const __m256d k = _mm256_round_pd(scaled, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  const __m256d u = _mm256_mul_pd(_mm256_sub_pd(scaled, k), _mm256_set1_pd(kLn2PerStep));

  const __m128i whole = _mm256_cvtpd_epi32(k);
  const __m128i index = _mm_and_si128(whole, _mm_set1_epi32(kSteps - 1));
  const __m128i doublings = _mm_srai_epi32(whole, kStepBits);
  // The masked gather, all lanes on, names its pass-through value; the plain one leaves
  // it undefined, which the compiler's warnings reject.
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d entry =
      _mm256_mask_i32gather_pd(_mm256_setzero_pd(), powers, index, all, sizeof(double));
  const __m256i exponent = _mm256_slli_epi64(_mm256_cvtepi32_epi64(doublings), 52);
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(entry), exponent));

  __m256d p = _mm256_set1_pd(1.0 / 120);
  p = _mm256_fmadd_pd(p, u, _mm256_set1_pd(1.0 / 24));
  p = _mm256_fmadd_pd(p, u, _mm256_set1_pd(1.0 / 6));
  p = _mm256_fmadd_pd(p, u, _mm256_set1_pd(1.0 / 2));
  p = _mm256_fmadd_pd(p, u, _mm256_set1_pd(1.0));
  p = _mm256_fmadd_pd(p, u, _mm256_set1_pd(1.0));
  return _mm256_mul_pd(scale, p);
}

// Lane bits (bit i for lane i) of the doubles that lie within the window of a tie.
__attribute__((target("avx2,fma"), always_inline)) inline int near_tie_lanes(__m256d d) {
  const __m256i below = _mm256_and_si256(_mm256_castpd_si256(d), _mm256_set1_epi64x(kBelowFloat));
  const __m256i from_tie = _mm256_sub_epi64(below, _mm256_set1_epi64x(kTie));
  const __m256i under = _mm256_cmpgt_epi64(_mm256_set1_epi64x(kTieWindow), from_tie);
  const __m256i over = _mm256_cmpgt_epi64(from_tie, _mm256_set1_epi64x(-kTieWindow));
  return _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_and_si256(under, over)));
}

// A block with lanes for the library: where its results go, its inputs, and the lanes
// (bit i for lane i).
struct LibraryLanes {
  float* values;
  float inputs[kLanes];
  int lanes;
};

// Blocks per run of the vector path before its library lanes are settled. Every block
// records its entry whether it needs one or not, so the vector path takes no branch
// on its results: a mispredicted one would discard the blocks in flight behind it.
constexpr std::size_t kRunBlocks = 32;

// Eight values in place, as two vectors of four doubles. Records the block's library
// lanes in entry and returns whether there are any.
__attribute__((target("avx2,fma"), always_inline)) inline bool exponential_block(
    float* values, const double* powers, LibraryLanes& entry) {
  const __m256 x = _mm256_loadu_ps(values);
  const __m256 in_range = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_set1_ps(kLowest), _CMP_GE_OQ),
                                        _mm256_cmp_ps(x, _mm256_set1_ps(kHighest), _CMP_LE_OQ));
  // Lanes out of range compute e^0 instead, their result being replaced.
  const __m256 reduced = _mm256_and_ps(x, in_range);
  const __m256d low = exponential_doubles(_mm256_castps256_ps128(reduced), powers);
  const __m256d high = exponential_doubles(_mm256_extractf128_ps(reduced, 1), powers);
  _mm256_storeu_ps(values, _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low)));
  entry.values = values;
  _mm256_storeu_ps(entry.inputs, x);
  entry.lanes =
      near_tie_lanes(low) | near_tie_lanes(high) << 4 | (~_mm256_movemask_ps(in_range) & 0xff);
  return entry.lanes != 0;
}

// Up to kRunBlocks whole blocks from values, then the library's results for their
// library lanes.
__attribute__((target("avx2,fma"))) void exponential_run(float* values, std::size_t blocks,
                                                         const double* powers) {
  LibraryLanes library[kRunBlocks];
  std::size_t pending = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    pending += exponential_block(values + b * kLanes, powers, library[pending]);
  }
  for (std::size_t e = 0; e < pending; ++e) {
    for (int lanes = library[e].lanes; lanes != 0; lanes &= lanes - 1) {
      const int lane = std::countr_zero(static_cast<unsigned>(lanes));
      library[e].values[lane] = expf(library[e].inputs[lane]);
    }
  }
}

__attribute__((target("avx2,fma"))) void exponentials_wide(std::span<float> values) {
  const double* powers = step_powers().data();
  const std::size_t whole = values.size() / kLanes;
  for (std::size_t b = 0; b < whole; b += kRunBlocks) {
    exponential_run(values.data() + b * kLanes, std::min(kRunBlocks, whole - b), powers);
  }
  const std::size_t rest = values.size() - whole * kLanes;
  if (rest != 0) {
    // The last few go through a zero-padded block, so they take the same path.
    float block[kLanes] = {};
    std::memcpy(block, values.data() + whole * kLanes, rest * sizeof(float));
    exponential_run(block, 1, powers);
    std::memcpy(values.data() + whole * kLanes, block, rest * sizeof(float));
  }
}

void exponentials_each(std::span<float> values) {
  for (float& v : values) v = expf(v);
}

}  // namespace

void exponentials(std::span<float> values) {
  if (processor_has_avx2_fma()) {
    exponentials_wide(values);
  } else {
    exponentials_each(values);
  }
}

}  // namespace wd
