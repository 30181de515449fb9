#include "exponential.h"

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace {

using wd::exponentials;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Runs the batch over the given inputs and compares each result with the C library's
// expf bit for bit (any NaN matching any NaN). Returns the number of mismatches,
// reporting the first few.
int count_library_mismatches(std::span<const float> inputs) {
  std::vector<float> results(inputs.begin(), inputs.end());
  exponentials(results);
  int mismatches = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const float expected = expf(inputs[i]);
    const bool same = std::bit_cast<uint32_t>(results[i]) == std::bit_cast<uint32_t>(expected) ||
                      (isnan(results[i]) && isnan(expected));
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << "expf(" << std::hexfloat << inputs[i] << ") is " << expected << ", got "
                    << results[i];
    }
  }
  return mismatches;
}

void expect_library_bits(const std::vector<float>& inputs) {
  EXPECT_EQ(count_library_mismatches(inputs), 0);
}

// Every float whose bit pattern lies in [first, last], step apart, checked in batches
// of a few thousand.
void expect_library_bits_for_patterns(uint32_t first, uint32_t last, uint32_t step) {
  constexpr std::size_t kBatch = 4096;
  std::vector<float> batch;
  int mismatches = 0;
  for (uint64_t bits = first; bits <= last; bits += step) {
    batch.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
    if (batch.size() == kBatch) {
      mismatches += count_library_mismatches(batch);
      batch.clear();
    }
  }
  mismatches += count_library_mismatches(batch);
  EXPECT_EQ(mismatches, 0);
}

// Every float from a to b, both of one sign, in either order.
void expect_library_bits_between(float a, float b) {
  const uint32_t x = std::bit_cast<uint32_t>(a);
  const uint32_t y = std::bit_cast<uint32_t>(b);
  expect_library_bits_for_patterns(std::min(x, y), std::max(x, y), 1);
}

// The floats within count steps of centre, on both sides; centre is not a zero.
void expect_library_bits_around(float centre, uint32_t count) {
  const uint32_t bits = std::bit_cast<uint32_t>(centre);
  expect_library_bits_for_patterns(bits - count, bits + count, 1);
}

// The float nearest the natural logarithm of x.
float log_of(double x) { return static_cast<float>(std::log(x)); }

// A prime step, so the sweep meets every residue of the low fraction bits, which decide
// how near a result lies to a tie between two floats.
TEST(Exponentials, MatchTheLibraryOverAStridedSweepOfAllBitPatterns) {
  expect_library_bits_for_patterns(0, std::numeric_limits<uint32_t>::max(), 509);
}

// Results next to 1 change with the smallest inputs: the ties at 1 + 2^-24 and 1 - 2^-25
// are met by inputs near 2^-24 and -2^-25. Below 2^-26 in magnitude every result is 1.
TEST(Exponentials, MatchTheLibraryForEveryFloatNearZero) {
  expect_library_bits_between(0x1p-25f, 0x1p-23f);
  expect_library_bits_between(-0x1p-26f, -0x1p-24f);
  expect_library_bits_for_patterns(0, 1 << 16, 1);
  expect_library_bits_for_patterns(0x80000000, 0x80000000 + (1 << 16), 1);
}

// Where a result overflows, leaves the normal floats or vanishes, and where the vector
// path hands its inputs over to the library.
TEST(Exponentials, MatchTheLibraryAcrossTheRangeBoundaries) {
  const float boundaries[] = {
      88.0f,                                      // the vector path's last input
      log_of(std::numeric_limits<float>::max()),  // the largest finite result
      -87.0f,                                     // the vector path's first input
      log_of(0x1p-126),                           // the smallest normal result
      log_of(0x1p-149),                           // the smallest subnormal result
      log_of(0x1p-150),                           // results below it round to zero
  };
  for (const float boundary : boundaries) {
    SCOPED_TRACE(boundary);
    expect_library_bits_around(boundary, 1 << 14);
  }
}

TEST(Exponentials, MatchTheLibraryForEverySubnormalResult) {
  expect_library_bits_between(log_of(0x1p-126), log_of(0x1p-150));
}

TEST(Exponentials, MatchTheLibraryForZerosInfinitiesNaNsAndExtremes) {
  expect_library_bits({0.0f, -0.0f, kInf, -kInf, kNaN, -kNaN,
                       std::numeric_limits<float>::signaling_NaN(),
                       std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
                       std::numeric_limits<float>::denorm_min(),
                       -std::numeric_limits<float>::denorm_min(), 1.0f, -1.0f});
}

// Batches of every length up to two full vectors and a tail, starting at each of a few
// places in a list that mixes ordinary inputs with inputs the library settles (a result
// near a tie, out of range, NaN); the floats around the batch stay untouched.
TEST(Exponentials, HandleEveryBatchLengthAndLeaveTheNeighboursAlone) {
  const std::vector<float> pool = {0.5f,      0x1p-24f, -3.25f, 100.0f, 7.0f,   kNaN,  -0.0f,
                                   -90.0f,    1.0f,     -kInf,  12.5f,  0.001f, -1.5f, 42.0f,
                                   -0x1p-25f, kInf,     2.0f,   -20.0f, 0.75f};
  constexpr float kGuard = -123.0f;
  constexpr std::size_t kGuards = 4;
  for (std::size_t length = 0; length <= 17; ++length) {
    for (std::size_t start = 0; start < 4; ++start) {
      SCOPED_TRACE("length " + std::to_string(length) + ", start " + std::to_string(start));
      std::vector<float> buffer(length + 2 * kGuards, kGuard);
      for (std::size_t i = 0; i < length; ++i) {
        buffer[kGuards + i] = pool[(start + i) % pool.size()];
      }
      const std::vector<float> inputs = buffer;
      exponentials(std::span<float>(buffer).subspan(kGuards, length));
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        const bool inside = i >= kGuards && i < kGuards + length;
        const float expected = inside ? expf(inputs[i]) : kGuard;
        if (isnan(expected)) {
          EXPECT_TRUE(isnan(buffer[i])) << "position " << i;
        } else {
          EXPECT_EQ(std::bit_cast<uint32_t>(buffer[i]), std::bit_cast<uint32_t>(expected))
              << "position " << i;
        }
      }
    }
  }
}

}  // namespace
