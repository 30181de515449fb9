// The engine's one matrix-product kernel.
#pragma once

#include <cstdint>
#include <span>

namespace wd {

// out (m x n) += a (m x k) * b (k x n), all row-major. Every element of out receives
// its prior value followed by the k terms in ascending order of the inner index:
// fused multiply-add on processors with AVX2 and FMA, multiply then add otherwise.
// Slice lengths must match the sizes exactly; a mismatch is an internal fault.
void accumulate_product(std::span<const float> a, std::span<const float> b, uint64_t m,
                        uint64_t k, uint64_t n, std::span<float> out);

namespace testing {
// Forces the multiply-then-add path (for tests comparing the two paths).
void force_portable_product(bool force);
}  // namespace testing

}  // namespace wd
