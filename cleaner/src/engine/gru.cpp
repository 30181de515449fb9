#include <algorithm>
#include <cstring>
#include <optional>

#include "exponential.h"
#include "hyperbolic.h"
#include "kernels.h"
#include "processor.h"
#include "product.h"
#include "work.h"

namespace wd {
namespace {

// A weight tensor as the loops read it: the given one, or its transposed copy.
struct Weights {
  FloatView given;
  std::optional<Tensor> swapped;

  FloatView view() const {
    return swapped ? FloatView{&swapped->shape, swapped->f32} : given;
  }
};

Result<Weights> oriented(FloatView given, bool transposed) {
  Weights weights{given, std::nullopt};
  if (!transposed) {
    WD_TRY(Tensor swapped, swap_last_axes(given));
    weights.swapped = std::move(swapped);
  }
  return weights;
}

// Whether size equals multiple times hidden, without forming a product that could wrap.
bool is_multiple(uint64_t size, uint64_t multiple, uint64_t hidden) {
  return size % multiple == 0 && size / multiple == hidden;
}

// The rest of the kernel indexes freely within each tensor's data.
void expect_consistent(FloatView view) {
  const Result<uint64_t> count = checked_element_count(view.dims());
  if (!count || *count != view.data.size()) {
    internal_fault("a tensor whose data does not fit its shape");
  }
}

// Lanes of the compiler's generic vectors: four (SSE on every x86-64) or eight (AVX, on
// processors that have it). Each lane does what the single-value code does to its unit,
// every operation rounded on its own (the engine is compiled without contraction), so
// both widths and the single values that finish a pass give the same results.
typedef float Lanes4 __attribute__((vector_size(16)));
typedef float Lanes8 __attribute__((vector_size(32)));

// Calls step.operator()<T>(j) for the units [0, count): T is Lanes for whole vectors
// of units, float for the last few. Vectors go by reference only, as the eight-lane
// ones are passed differently with and without AVX.
template <typename Lanes, typename Step>
void each_unit(uint64_t count, Step&& step) {
  constexpr uint64_t lanes = sizeof(Lanes) / sizeof(float);
  uint64_t j = 0;
  for (; count - j >= lanes; j += lanes) step.template operator()<Lanes>(j);
  for (; j < count; ++j) step.template operator()<float>(j);
}

template <typename T>
void load(T& value, const float* at) {
  std::memcpy(&value, at, sizeof value);
}

template <typename T>
void store(float* at, const T& value) {
  std::memcpy(at, &value, sizeof value);
}

// The gates of one step from the input projection xp and the recurrent projection hp,
// updating h. Each unit's operations keep their order; they are only gathered into
// passes over all units, so that the arithmetic runs in vectors and the calls of the
// exponential and the hyperbolic tangent do not wait on one another. The recurrent
// projection is overwritten as it is used up, and h is overwritten last, the
// projection having taken from it all that the units need.
template <typename Lanes>
void step_gates(const float* xp, float* hp, float* h, uint64_t hidden) {
  // The update and reset sums, negated, then their exponentials: ez and er. An
  // overflowing exponential makes its gate exactly 0, never NaN.
  each_unit<Lanes>(2 * hidden, [&]<typename T>(uint64_t j) {
    T x, r;
    load(x, xp + j);
    load(r, hp + j);
    const T sum = -(x + r);
    store(hp + j, sum);
  });
  exponentials(std::span<float>(hp, 2 * hidden));
  const float* ez = hp;
  const float* er = hp + hidden;
  float* candidate = hp + 2 * hidden;
  const float* xh = xp + 2 * hidden;
  each_unit<Lanes>(hidden, [&]<typename T>(uint64_t j) {
    T e, c, x;
    load(e, er + j);
    load(c, candidate + j);
    load(x, xh + j);
    const T reset = 1.0f / (e + 1.0f);
    const T sum = reset * c + x;
    store(candidate + j, sum);
  });
  hyperbolic_tangents({candidate, hidden});
  each_unit<Lanes>(hidden, [&]<typename T>(uint64_t j) {
    T e, c, previous;
    load(e, ez + j);
    load(c, candidate + j);
    load(previous, h + j);
    const T update = 1.0f / (e + 1.0f);
    const T next = update * previous + (1.0f - update) * c;
    store(h + j, next);
  });
}

// The eight-lane gates, compiled for AVX with every call but the library's inlined.
__attribute__((target("avx2"), flatten)) void step_gates_wide(const float* xp, float* hp, float* h,
                                                              uint64_t hidden) {
  step_gates<Lanes8>(xp, hp, h, hidden);
}

}  // namespace

Result<Outputs> gru_kernel(const op::Gru& params, Inputs inputs) {
  WD_TRY(const Tensor* x_tensor, input(inputs, 0));
  WD_TRY(const FloatView x, as_floats(*x_tensor));
  WD_TRY(const Tensor* w_tensor, input(inputs, 1));
  WD_TRY(const FloatView w_given, as_floats(*w_tensor));
  WD_TRY(const Tensor* r_tensor, input(inputs, 2));
  WD_TRY(const FloatView r_given, as_floats(*r_tensor));
  WD_TRY(const Weights w_weights, oriented(w_given, params.weights_transposed));
  WD_TRY(const Weights r_weights, oriented(r_given, params.weights_transposed));
  const FloatView w = w_weights.view();
  const FloatView r = r_weights.view();

  const uint64_t directions = params.direction == GruDirection::Bidirectional ? 2 : 1;
  // A hidden size below 1 breaks the record's invariant; no weights can match it.
  const bool hidden_valid = params.hidden_size >= 1;
  const uint64_t hidden = hidden_valid ? static_cast<uint64_t>(params.hidden_size) : 0;
  if (!hidden_valid || x.rank() != 3 || w.rank() != 3 || r.rank() != 3 ||
      w.dims()[0] != directions || w.dims()[1] != x.dims()[2] ||
      !is_multiple(w.dims()[2], 3, hidden) || r.dims()[0] != directions ||
      r.dims()[1] != hidden || !is_multiple(r.dims()[2], 3, hidden)) {
    return fail("GRU with mismatched weights");
  }
  const uint64_t steps = x.dims()[0];
  const uint64_t batch = x.dims()[1];
  const uint64_t features = x.dims()[2];

  std::optional<FloatView> bias;
  if (inputs.size() > 3 && inputs[3] != nullptr) {
    WD_TRY(bias, as_floats(*inputs[3]));
    if (bias->rank() != 2 || bias->dims()[0] != directions ||
        !is_multiple(bias->dims()[1], 6, hidden)) {
      return fail("GRU with a bias of the wrong size");
    }
  }
  std::optional<FloatView> start;
  if (inputs.size() > 5 && inputs[5] != nullptr) {
    WD_TRY(start, as_floats(*inputs[5]));
    if (start->dims() != Shape{directions, batch, hidden}) {
      return fail("GRU with a start state of the wrong size");
    }
  }

  expect_consistent(x);
  expect_consistent(w);
  expect_consistent(r);
  if (bias) expect_consistent(*bias);
  if (start) expect_consistent(*start);
  // R holds directions x hidden x 3 hidden values, so the gate count is small.
  const uint64_t gates = 3 * hidden;

  WD_TRY(const uint64_t y_count, checked_element_count({steps, directions, batch, hidden}));
  WD_TRY(const uint64_t y_h_count, checked_element_count({directions, batch, hidden}));
  // The input projections are needed only when there is a batch item to run.
  WD_TRY(const uint64_t projected_count,
         checked_element_count({batch == 0 ? 0 : steps, gates}));
  WD_CHECK(check_operation_work("GRU", loop_work({directions, batch, steps, gates,
                                                   features + hidden})));
  std::vector<float> y(y_count, 0.0f);
  std::vector<float> y_h(y_h_count, 0.0f);
  std::vector<float> projected(projected_count);
  std::vector<float> recurrent(gates);
  std::vector<float> h(hidden);

  const std::span<const float> xs = x.data;
  for (uint64_t d = 0; d < directions; ++d) {
    const bool backward = params.direction == GruDirection::Reverse || d == 1;
    const std::span<const float> w_d = w.data.subspan(d * features * gates, features * gates);
    const std::span<const float> r_d = r.data.subspan(d * hidden * gates, hidden * gates);
    const RowPanels* w_panels = params.w_panels[d];
    const RowPanels* r_panels = params.r_panels[d];
    std::span<const float> input_bias;
    std::span<const float> recurrent_bias;
    if (bias) {
      input_bias = bias->data.subspan(d * 2 * gates, gates);
      recurrent_bias = bias->data.subspan(d * 2 * gates + gates, gates);
    }

    for (uint64_t b = 0; b < batch; ++b) {
      for (uint64_t t = 0; t < steps; ++t) {
        const std::span<float> row = std::span<float>(projected).subspan(t * gates, gates);
        if (bias) {
          std::copy(input_bias.begin(), input_bias.end(), row.begin());
        } else {
          std::fill(row.begin(), row.end(), 0.0f);
        }
      }
      // Each row of the projection is its own product; with a single batch item the
      // input rows are consecutive and every step's product is one row of a single
      // product, which gives each row the same terms in the same order.
      if (batch == 1) {
        accumulate_product(xs, w_d, steps, features, gates, projected, w_panels);
      } else {
        for (uint64_t t = 0; t < steps; ++t) {
          accumulate_product(xs.subspan((t * batch + b) * features, features), w_d, 1, features,
                             gates, std::span<float>(projected).subspan(t * gates, gates),
                             w_panels);
        }
      }

      if (start) {
        const std::span<const float> h0 = start->data.subspan((d * batch + b) * hidden, hidden);
        std::copy(h0.begin(), h0.end(), h.begin());
      } else {
        std::fill(h.begin(), h.end(), 0.0f);
      }

      for (uint64_t s = 0; s < steps; ++s) {
        const uint64_t t = backward ? steps - 1 - s : s;
        if (bias) {
          std::copy(recurrent_bias.begin(), recurrent_bias.end(), recurrent.begin());
        } else {
          std::fill(recurrent.begin(), recurrent.end(), 0.0f);
        }
        accumulate_product(h, r_d, 1, hidden, gates, recurrent, r_panels);

        const auto step_of = processor_has_avx2() ? step_gates_wide : step_gates<Lanes4>;
        step_of(projected.data() + t * gates, recurrent.data(), h.data(), hidden);
        std::copy(h.begin(), h.end(), y.begin() + ((t * directions + d) * batch + b) * hidden);
      }
      std::copy(h.begin(), h.end(), y_h.begin() + (d * batch + b) * hidden);
    }
  }

  Outputs outputs;
  outputs.push_back(Tensor::floats({steps, directions, batch, hidden}, std::move(y)));
  outputs.push_back(Tensor::floats({directions, batch, hidden}, std::move(y_h)));
  return outputs;
}

}  // namespace wd
