// Hyperbolic tangents of whole runs of values.
#pragma once

#include <span>

namespace wd {

// Replaces each value by its hyperbolic tangent, bit for bit what the C library's tanhf
// returns for it, NaN payloads included. Eight values at a time on processors with AVX2.
void hyperbolic_tangents(std::span<float> values);

}  // namespace wd
