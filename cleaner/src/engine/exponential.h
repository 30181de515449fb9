// The single-precision exponential over a batch of values, for the kernels that
// need many of them at once (Sigmoid, the GRU gates).
#pragma once

#include <span>

namespace wd {

// Replaces every value v by expf(v): for every input, NaN and infinities included,
// exactly the bits the C library's expf returns. On processors with AVX2 and FMA most
// values take a vector path that works in double precision and settles the rest
// (results close to a rounding tie, results that are not normal floats) with expf;
// elsewhere every value goes through expf.
void exponentials(std::span<float> values);

}  // namespace wd
