#include "hyperbolic.h"

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <ios>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace {

using wd::hyperbolic_tangents;

constexpr uint32_t kSignBit = 0x80000000;
constexpr uint32_t kLargestMagnitude = 0x7fffffff;  // the largest NaN

// The C library's tanhf, called at run time: on a constant argument the compiler would
// put in its own correctly rounded value, which the library does not always return.
float (*volatile const library_tanhf)(float) = tanhf;

uint32_t library_tangent_bits(float x) { return std::bit_cast<uint32_t>(library_tanhf(x)); }

// Whether the batch gives, for each pattern, the bits of the C library's tanhf,
// NaN payloads included; names the first pattern that differs.
testing::AssertionResult matches_library(const std::vector<uint32_t>& patterns) {
  std::vector<float> values(patterns.size());
  std::transform(patterns.begin(), patterns.end(), values.begin(),
                 [](uint32_t bits) { return std::bit_cast<float>(bits); });
  hyperbolic_tangents(values);
  for (size_t i = 0; i < patterns.size(); ++i) {
    const uint32_t expected = library_tangent_bits(std::bit_cast<float>(patterns[i]));
    const uint32_t actual = std::bit_cast<uint32_t>(values[i]);
    if (actual != expected) {
      return testing::AssertionFailure()
             << std::hex << "input bits 0x" << patterns[i] << " give 0x" << actual
             << ", the library 0x" << expected;
    }
  }
  return testing::AssertionSuccess();
}

TEST(HyperbolicTangents, MatchTheLibraryOnBitPatternsSpreadOverAllFloats) {
  // An odd stride visits every low-bit residue, so each exponent and sign is met with
  // many mantissas; the sweep goes in chunks to keep the buffers small.
  constexpr uint64_t kStride = 131;
  constexpr size_t kChunk = 1 << 16;
  std::vector<uint32_t> patterns;
  patterns.reserve(kChunk);
  for (uint64_t bits = 0; bits <= 0xffffffff; bits += kStride) {
    patterns.push_back(static_cast<uint32_t>(bits));
    if (patterns.size() == kChunk || bits + kStride > 0xffffffff) {
      ASSERT_TRUE(matches_library(patterns));
      patterns.clear();
    }
  }
}

struct Boundary {
  const char* name;
  uint32_t magnitude_bits;
};

void PrintTo(const Boundary& boundary, std::ostream* out) { *out << boundary.name; }

// Magnitudes where the tangent, or the expm1 of 2|x| or -2|x| it is built on, changes
// branch or rounding regime.
const Boundary kBoundaries[] = {
    {"Zero", 0x00000000},                                  // and the subnormals
    {"SmallestNormal", 0x00800000},
    {"TwoToMinus55", 0x24000000},                          // below, tanh x is x (1 + x)
    {"TwoToMinus26", 0x32800000},                          // below, expm1 gives its argument
    {"QuarterLn2", 0x3e317218},                            // from here expm1 reduces by k ln2
    {"ThreeQuartersLn2", 0x3f051592},                      // from here |k| may exceed 1
    {"One", 0x3f800000},                                   // from here expm1 of 2|x| is used
    {"Multiple22To23", std::bit_cast<uint32_t>(7.7978f)},  // 2|x| = 22.5 ln2
    {"Multiple56To57", std::bit_cast<uint32_t>(19.581f)},  // 2|x| = 56.5 ln2
    {"TwentyTwo", 0x41b00000},                             // from here the tangent is 1
    {"Infinity", 0x7f800000},                              // with the largest finite, NaNs
    {"LargestNaN", kLargestMagnitude},
};

class AroundBoundary : public testing::TestWithParam<Boundary> {};

TEST_P(AroundBoundary, MatchesTheLibraryOnEveryNearbyPatternOfBothSigns) {
  constexpr uint32_t kReach = 4096;
  const uint32_t centre = GetParam().magnitude_bits;
  const uint32_t first = centre - std::min(centre, kReach);
  const uint32_t last = centre + std::min(kLargestMagnitude - centre, kReach);
  std::vector<uint32_t> patterns;
  for (uint32_t bits = first; bits <= last; ++bits) {
    patterns.push_back(bits);
    patterns.push_back(bits | kSignBit);
  }
  EXPECT_TRUE(matches_library(patterns));
}

INSTANTIATE_TEST_SUITE_P(Branches, AroundBoundary, testing::ValuesIn(kBoundaries),
                         [](const testing::TestParamInfo<Boundary>& info) {
                           return std::string(info.param.name);
                         });

// Values from every branch, for runs that are not whole vectors.
const float kMixedValues[] = {0.3f,   -1.5f, 25.0f,  1e-20f, -0.0f,   0.1f,  -7.0f,
                              19.7f,  0.6f,  -3e-8f, 1.0f,   -0.75f,  12.0f, 2.5f,
                              -22.0f, 0.17f, 5e-39f, -0.52f, -1e-10f, 40.0f};

TEST(HyperbolicTangents, ChangeExactlyTheGivenValuesAtEveryLength) {
  constexpr size_t kGuard = 9;
  const float guard = std::bit_cast<float>(0x7fc01234u);  // a NaN no tangent returns here
  for (size_t length = 0; length <= 17; ++length) {
    std::vector<float> storage(length + 2 * kGuard, guard);
    const std::span<float> values(storage.data() + kGuard, length);
    std::copy_n(std::begin(kMixedValues), length, values.begin());
    hyperbolic_tangents(values);
    for (size_t i = 0; i < length; ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(values[i]), library_tangent_bits(kMixedValues[i]))
          << "value " << i << " of " << length;
    }
    for (size_t i = 0; i < kGuard; ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(storage[i]), std::bit_cast<uint32_t>(guard))
          << "guard before a run of " << length;
      EXPECT_EQ(std::bit_cast<uint32_t>(storage[kGuard + length + i]),
                std::bit_cast<uint32_t>(guard))
          << "guard after a run of " << length;
    }
  }
}

}  // namespace
