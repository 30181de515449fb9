// The core's clock and its fused peak, measured rather than read from the processor's
// name: the clock a virtual or power-managed core runs at is what the kernels get.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>

namespace bench {

// Fused peak of one core: two 8-lane FMA units, two operations per lane, per cycle.
inline constexpr double kFlopsPerCycle = 2 * 8 * 2;

// Processor time of this thread, which unlike the wall clock does not count the time
// other processes hold the core.
inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// The clock measured with a chain of dependent integer additions, one cycle each:
// the best of a few runs, as the first may start before the core has clocked up.
inline double measured_clock_hz() {
  constexpr uint64_t kRounds = 25'000'000;
  constexpr uint64_t kAddsPerRound = 16;
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    uint64_t chain = 0;
    const double start = thread_seconds();
    for (uint64_t i = 0; i < kRounds; ++i) {
      __asm__ volatile(
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
          : "+r"(chain));
    }
    best = std::max(best, double(kRounds * kAddsPerRound) / (thread_seconds() - start));
  }
  return best;
}

}  // namespace bench
