#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <cstddef>

#include "exponential.h"
#include "hyperbolic.h"
#include "kernels.h"

namespace wd {
namespace {

// The functions that are one machine instruction run four lanes at a time with
// SSE, which every x86-64 processor has; each lane rounds exactly as the scalar
// instruction does, so the tail loop gives the same results.
template <typename Vector, typename Scalar>
void map_blocks(std::span<const float> x, std::span<float> y, Vector vector, Scalar scalar) {
  const std::size_t n = x.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(y.data() + i, vector(_mm_loadu_ps(x.data() + i)));
  for (; i < n; ++i) y[i] = scalar(x[i]);
}

template <typename Scalar>
void map_each(std::span<const float> x, std::span<float> y, Scalar scalar) {
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = scalar(x[i]);
}

// A NaN compares false, so it gives 0 like a negative value does.
float relu(float x) { return x > 0.0f ? x : 0.0f; }

__m128 relu_block(__m128 x) { return _mm_and_ps(_mm_cmpgt_ps(x, _mm_setzero_ps()), x); }

// 1 / (expf(-x) + 1), each operation rounded on its own; the exponentials are taken
// as one batch between the negation and the division.
void sigmoids(std::span<const float> x, std::span<float> y) {
  std::transform(x.begin(), x.end(), y.begin(), [](float v) { return -v; });
  exponentials(y);
  std::transform(y.begin(), y.end(), y.begin(), [](float e) { return 1.0f / (e + 1.0f); });
}

// Written in place, the values are already there.
void copy_unless_in_place(std::span<const float> x, std::span<float> y) {
  if (y.data() != x.data()) std::copy(x.begin(), x.end(), y.begin());
}

void apply_unary(UnaryFunction function, std::span<const float> x, std::span<float> y) {
  switch (function) {
    case UnaryFunction::Identity:
      copy_unless_in_place(x, y);
      return;
    case UnaryFunction::Relu:
      map_blocks(x, y, relu_block, relu);
      return;
    case UnaryFunction::Sigmoid:
      sigmoids(x, y);
      return;
    case UnaryFunction::Tanh:
      copy_unless_in_place(x, y);
      hyperbolic_tangents(y);
      return;
    case UnaryFunction::Sqrt:
      map_blocks(
          x, y, [](__m128 v) { return _mm_sqrt_ps(v); }, [](float v) { return sqrtf(v); });
      return;
    case UnaryFunction::Log:
      map_each(x, y, [](float v) { return logf(v); });
      return;
  }
  internal_fault("unknown unary function");
}

}  // namespace

Result<Outputs> unary_kernel(const op::Unary& params, Inputs inputs, Tensor* expiring) {
  WD_TRY(const Tensor* x_tensor, input(inputs, 0));
  WD_TRY(const FloatView x, as_floats(*x_tensor));
  // Each value is read before its own place is written, so an expiring X becomes
  // the result, mapped in place.
  Tensor y = expiring ? std::move(*expiring)
                      : Tensor::floats(x.dims(), std::vector<float>(x.data.size()));
  apply_unary(params.function, x.data, y.f32);
  Outputs outputs;
  outputs.push_back(std::move(y));
  return outputs;
}

Result<Outputs> arithmetic_kernel(const op::Arithmetic& params, Inputs inputs,
                                  Tensor* expiring) {
  WD_TRY(const Tensor* a_tensor, input(inputs, 0));
  WD_TRY(const FloatView a, as_floats(*a_tensor));
  WD_TRY(const Tensor* b_tensor, input(inputs, 1));
  WD_TRY(const FloatView b, as_floats(*b_tensor));
  WD_TRY(Tensor result, broadcast_apply(a, b, params.function, expiring));
  Outputs outputs;
  outputs.push_back(std::move(result));
  return outputs;
}

}  // namespace wd
