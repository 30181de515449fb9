// Convolution's hook for tests and benchmarks; the kernel is declared with the others in
// kernels.h.
#pragma once

#include <cstdint>

namespace wd::testing {

// Runs Conv's general path at this many lanes (4, 8 or 16), or at the processor's widest
// (0), for comparing the widths; false, changing nothing, when the processor cannot.
bool force_conv_lanes(uint64_t lanes);

}  // namespace wd::testing
