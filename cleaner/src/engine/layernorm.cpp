#include <math.h>

#include <algorithm>
#include <cstddef>

#include "kernels.h"

namespace wd {

Result<Outputs> layer_normalization_kernel(const op::LayerNormalization& params,
                                           Inputs inputs, Tensor* expiring) {
  WD_TRY(const Tensor* x_tensor, input(inputs, 0));
  WD_TRY(const FloatView x, as_floats(*x_tensor));
  WD_TRY(const uint64_t axis, normalize_axis(params.axis, x.rank()));
  // A rank-0 tensor takes axis 0, which leaves no axis to multiply: L is 1. An
  // x without values may have sizes whose product does not fit; no scale fits it.
  const std::span<const uint64_t> trailing = std::span<const uint64_t>(x.dims()).subspan(axis);
  uint64_t length = 1;
  bool too_long = false;
  if (std::find(trailing.begin(), trailing.end(), uint64_t{0}) != trailing.end()) {
    length = 0;
  } else {
    for (const uint64_t size : trailing) too_long |= __builtin_mul_overflow(length, size, &length);
  }

  WD_TRY(const Tensor* scale_tensor, input(inputs, 1));
  WD_TRY(const FloatView scale, as_floats(*scale_tensor));
  std::span<const float> bias;
  const bool has_bias = inputs.size() > 2 && inputs[2] != nullptr;
  if (has_bias) {
    WD_TRY(const FloatView bias_view, as_floats(*inputs[2]));
    bias = bias_view.data;
  }
  if (too_long || scale.data.size() != length || (has_bias && bias.size() != length)) {
    return fail("LayerNormalization with a scale of the wrong size");
  }
  if (length == 0) internal_fault("LayerNormalization over an empty run of values");
  if (x.data.size() % length != 0) internal_fault("a tensor whose data does not fit its shape");

  const float count = static_cast<float>(length);
  const float epsilon = params.epsilon;
  // A row's sums are taken before any of it is written, and each value is read
  // before its own place is, so an expiring X becomes the result, normalised in
  // place.
  Tensor y = expiring ? std::move(*expiring)
                      : Tensor::floats(x.dims(), std::vector<float>(x.data.size()));
  for (std::size_t start = 0; start < x.data.size(); start += length) {
    const float* row = x.data.data() + start;
    float* out = y.f32.data() + start;
    // One accumulator in index order: partial sums would round differently.
    float sum = -0.0f;
    for (std::size_t i = 0; i < length; ++i) sum += row[i];
    const float mean = sum / count;
    float squares = -0.0f;
    for (std::size_t i = 0; i < length; ++i) {
      const float d = row[i] - mean;
      squares += d * d;
    }
    const float inverse = 1.0f / sqrtf(squares / count + epsilon);
    for (std::size_t i = 0; i < length; ++i) {
      out[i] = ((row[i] - mean) * inverse) * scale.data[i];
    }
    if (has_bias) {
      for (std::size_t i = 0; i < length; ++i) out[i] += bias[i];
    }
  }

  Outputs outputs;
  outputs.push_back(std::move(y));
  return outputs;
}

}  // namespace wd
