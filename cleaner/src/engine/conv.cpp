#include <algorithm>
#include <cstring>
#include <optional>

#include "kernels.h"
#include "product.h"

namespace wd {
namespace {

// Sizes derived from the model's attributes can exceed 64 bits in intermediate
// steps (a pad near 2^63 plus a size near 2^64); they are computed wide and narrowed
// only once known to be small.
using Wide = __int128;

// The output positions o in [0, count) whose input position base + o * stride lies
// in [0, limit), as [first, end); end is never below first. The positions in between
// are all valid because the input position grows with o.
struct Span {
  uint64_t first;
  uint64_t end;
};

Span valid_positions(Wide base, Wide stride, Wide limit, uint64_t count) {
  Wide first = 0;
  if (base < 0) first = (-base + stride - 1) / stride;
  Wide end = 0;
  if (limit - 1 - base >= 0) end = (limit - 1 - base) / stride + 1;
  first = std::min<Wide>(first, count);
  end = std::clamp<Wide>(end, first, count);
  return {static_cast<uint64_t>(first), static_cast<uint64_t>(end)};
}

// One kernel column of the general path: the output columns that read inside the
// input, and the input column the first of them reads.
struct ColumnEntry {
  Span columns;
  uint64_t first_input;
};

struct Geometry {
  uint64_t n, c, h, w;        // input
  uint64_t m, cg, kh, kw;     // filters
  uint64_t groups;
  uint64_t oh, ow;            // output
};

Result<Geometry> geometry(const op::Conv& params, const Shape& x, const Shape& f,
                          std::optional<uint64_t> bias_count) {
  if (x.size() != 4 || f.size() != 4) return fail("Conv that is not two-dimensional");
  if (params.group < 1) internal_fault("Conv with a group below 1");
  for (int64_t v : {params.strides[0], params.strides[1], params.dilations[0],
                    params.dilations[1]}) {
    if (v < 1) internal_fault("Conv with a stride or dilation below 1");
  }
  for (int64_t pad : params.pads) {
    if (pad < 0) internal_fault("Conv with a negative pad");
  }
  Geometry g{x[0], x[1], x[2], x[3], f[0], f[1], f[2], f[3],
             static_cast<uint64_t>(params.group), 0, 0};
  uint64_t channels = 0;
  if (__builtin_mul_overflow(g.cg, g.groups, &channels) || channels != g.c ||
      g.m % g.groups != 0 || (bias_count && *bias_count != g.m)) {
    return fail("Conv with mismatched channels");
  }
  const Wide eh = Wide(params.dilations[0]) * (Wide(g.kh) - 1) + 1;
  const Wide ew = Wide(params.dilations[1]) * (Wide(g.kw) - 1) + 1;
  const Wide hp = Wide(params.pads[0]) + g.h + params.pads[2];
  const Wide wp = Wide(params.pads[1]) + g.w + params.pads[3];
  if (hp < eh || wp < ew) return fail("Conv kernel larger than its input");
  const Wide oh = (hp - eh) / params.strides[0] + 1;
  const Wide ow = (wp - ew) / params.strides[1] + 1;
  if (oh > Wide(kMaxElements) || ow > Wide(kMaxElements)) {
    return fail("Conv output holds too many values");
  }
  g.oh = static_cast<uint64_t>(oh);
  g.ow = static_cast<uint64_t>(ow);
  return g;
}

bool is_pointwise(const op::Conv& params, const Geometry& g) {
  return g.kh == 1 && g.kw == 1 && g.groups == 1 && params.strides[0] == 1 &&
         params.strides[1] == 1 &&
         std::all_of(params.pads.begin(), params.pads.end(), [](int64_t p) { return p == 0; });
}

void fill_bias(std::span<float> plane, const std::optional<FloatView>& bias, uint64_t filter) {
  if (bias) std::fill(plane.begin(), plane.end(), bias->data[filter]);
}

// 1x1 filters with unit strides and no padding: per batch item, the filters as an
// M x C matrix times the item's C x (H * W) channels.
void pointwise(const Geometry& g, std::span<const float> x, std::span<const float> f,
               const std::optional<FloatView>& bias, std::span<float> out) {
  const uint64_t plane = g.h * g.w;
  const uint64_t in_item = g.c * plane;
  const uint64_t out_item = g.m * plane;
  for (uint64_t item = 0; item < g.n; ++item) {
    const std::span<float> block = out.subspan(item * out_item, out_item);
    for (uint64_t filter = 0; filter < g.m; ++filter) {
      fill_bias(block.subspan(filter * plane, plane), bias, filter);
    }
    accumulate_product(f, x.subspan(item * in_item, in_item), g.m, g.c, plane, block);
  }
}

// Four lanes of the compiler's generic vectors (SSE on x86-64). The engine is compiled
// without floating-point contraction, so `x * w + acc` stays a product and a sum,
// each rounded.
typedef float Lanes4 __attribute__((vector_size(16)));

// Four input values for four consecutive output columns, the first reading `at`.
// Stride 0 stands for any stride; 1 and 2 read whole vectors (for 2, the second
// vector starts at at + 3 so that nothing past the last value needed is read).
template <int Stride>
Lanes4 input_lanes(const float* at, uint64_t stride) {
  if constexpr (Stride == 1) {
    Lanes4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
  } else if constexpr (Stride == 2) {
    Lanes4 low, high;
    std::memcpy(&low, at, sizeof low);
    std::memcpy(&high, at + 3, sizeof high);
    return __builtin_shufflevector(low, high, 0, 2, 5, 7);
  } else {
    return Lanes4{at[0], at[stride], at[2 * stride], at[3 * stride]};
  }
}

// One output row of one filter: its kernel rows, its input rows and its weights.
struct RowTaps {
  const op::Conv& params;
  const Geometry& g;
  const std::vector<ColumnEntry>& table;
  const float* channels;                  // the group's first input channel of the item
  const float* weights;                   // the filter's Cg x kH x kW weights
  std::span<const uint64_t> kernel_rows;  // the kernel rows that fall inside the input
  std::span<const uint64_t> input_rows;   // the input row each of them reads

  // Calls visit(input row, kernel column, weight) for every tap, in the order channel,
  // kernel row, kernel column.
  template <typename Visit>
  void each(Visit&& visit) const {
    const uint64_t in_plane = g.h * g.w;
    for (uint64_t ci = 0; ci < g.cg; ++ci) {
      for (uint64_t r = 0; r < kernel_rows.size(); ++r) {
        const float* row = channels + ci * in_plane + input_rows[r] * g.w;
        const float* w = weights + (ci * g.kh + kernel_rows[r]) * g.kw;
        for (uint64_t kw = 0; kw < g.kw; ++kw) visit(row, kw, w[kw]);
      }
    }
  }
};

// Output columns [first, first + 4 * Vectors), every one of them valid for every
// kernel column, kept in registers across all taps.
template <int Vectors, int Stride>
void column_run(const RowTaps& taps, float* out, uint64_t first) {
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  Lanes4 acc[Vectors];
#pragma GCC unroll 8
  for (int v = 0; v < Vectors; ++v) std::memcpy(&acc[v], out + first + 4 * v, sizeof acc[v]);
  taps.each([&](const float* row, uint64_t kw, float weight) {
    const ColumnEntry& entry = taps.table[kw];
    const float* at = row + entry.first_input + (first - entry.columns.first) * stride;
    const Lanes4 wv = {weight, weight, weight, weight};
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      acc[v] = input_lanes<Stride>(at + 4 * v * stride, stride) * wv + acc[v];
    }
  });
#pragma GCC unroll 8
  for (int v = 0; v < Vectors; ++v) std::memcpy(out + first + 4 * v, &acc[v], sizeof acc[v]);
}

// A single output column, for which some kernel columns may fall outside the input.
void single_column(const RowTaps& taps, float* out, uint64_t column) {
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  float acc = out[column];
  taps.each([&](const float* row, uint64_t kw, float weight) {
    const ColumnEntry& entry = taps.table[kw];
    if (column < entry.columns.first || column >= entry.columns.end) return;
    acc = row[entry.first_input + (column - entry.columns.first) * stride] * weight + acc;
  });
  out[column] = acc;
}

template <int Stride>
void output_row(const RowTaps& taps, float* out) {
  // Columns that every kernel column reads inside the input go in vector runs; the
  // rest, near the borders, one at a time.
  uint64_t inner_first = 0;
  uint64_t inner_end = taps.g.ow;
  for (const ColumnEntry& entry : taps.table) {
    inner_first = std::max(inner_first, entry.columns.first);
    inner_end = std::min(inner_end, entry.columns.end);
  }
  if (inner_end < inner_first) inner_end = inner_first;
  for (uint64_t column = 0; column < inner_first; ++column) single_column(taps, out, column);
  uint64_t column = inner_first;
  for (; inner_end - column >= 32; column += 32) column_run<8, Stride>(taps, out, column);
  for (; inner_end - column >= 4; column += 4) column_run<1, Stride>(taps, out, column);
  for (; column < taps.g.ow; ++column) single_column(taps, out, column);
}

void general(const op::Conv& params, const Geometry& g, std::span<const float> x,
             std::span<const float> f, const std::optional<FloatView>& bias,
             std::span<float> out) {
  const int64_t sh = params.strides[0], sw = params.strides[1];
  const int64_t dh = params.dilations[0], dw = params.dilations[1];
  const int64_t pt = params.pads[0], pl = params.pads[1];

  std::vector<ColumnEntry> table(g.kw);
  for (uint64_t kw = 0; kw < g.kw; ++kw) {
    const Wide base = Wide(kw) * dw - pl;
    const Span columns = valid_positions(base, sw, g.w, g.ow);
    const Wide first_input = base + Wide(columns.first) * sw;
    table[kw] = {columns, columns.first < columns.end ? static_cast<uint64_t>(first_input) : 0};
  }
  void (*row)(const RowTaps&, float*) =
      sw == 1 ? output_row<1> : sw == 2 ? output_row<2> : output_row<0>;
  const uint64_t plane = g.oh * g.ow;
  const uint64_t filters_per_group = g.m / g.groups;
  const uint64_t taps_per_filter = g.cg * g.kh * g.kw;
  std::vector<uint64_t> kernel_rows;
  std::vector<uint64_t> input_rows;
  kernel_rows.reserve(g.kh);
  input_rows.reserve(g.kh);
  for (uint64_t item = 0; item < g.n; ++item) {
    for (uint64_t filter = 0; filter < g.m; ++filter) {
      const std::span<float> target = out.subspan((item * g.m + filter) * plane, plane);
      fill_bias(target, bias, filter);
      if (taps_per_filter == 0) continue;
      const uint64_t group = filter / filters_per_group;
      const uint64_t channel = item * g.c + group * g.cg;
      for (uint64_t oh = 0; oh < g.oh; ++oh) {
        kernel_rows.clear();
        input_rows.clear();
        for (uint64_t kh = 0; kh < g.kh; ++kh) {
          const Wide ih = Wide(oh) * sh + Wide(kh) * dh - pt;
          if (ih < 0 || ih >= Wide(g.h)) continue;
          kernel_rows.push_back(kh);
          input_rows.push_back(static_cast<uint64_t>(ih));
        }
        if (kernel_rows.empty()) continue;
        const RowTaps taps{params, g, table, x.data() + channel * g.h * g.w,
                           f.data() + filter * taps_per_filter, kernel_rows, input_rows};
        row(taps, target.data() + oh * g.ow);
      }
    }
  }
}

}  // namespace

Result<Outputs> conv_kernel(const op::Conv& params, Inputs inputs) {
  WD_TRY(const Tensor* x_tensor, input(inputs, 0));
  WD_TRY(const FloatView x, as_floats(*x_tensor));
  WD_TRY(const Tensor* f_tensor, input(inputs, 1));
  WD_TRY(const FloatView f, as_floats(*f_tensor));
  std::optional<FloatView> bias;
  if (inputs.size() > 2 && inputs[2] != nullptr) {
    WD_TRY(bias, as_floats(*inputs[2]));
  }
  for (const FloatView* view : {&x, &f}) {
    const Result<uint64_t> expected = checked_element_count(view->dims());
    if (!expected || *expected != view->data.size()) internal_fault("tensor data off its shape");
  }
  WD_TRY(const Geometry g, geometry(params, x.dims(), f.dims(),
                                    bias ? std::optional(bias->data.size()) : std::nullopt));
  Shape shape = {g.n, g.m, g.oh, g.ow};
  WD_TRY(const uint64_t count, checked_element_count(shape));
  std::vector<float> out(count, 0.0f);
  if (count != 0) {
    if (is_pointwise(params, g)) {
      pointwise(g, x.data, f.data, bias, out);
    } else {
      general(params, g, x.data, f.data, bias, out);
    }
  }
  return Outputs{Tensor::floats(std::move(shape), std::move(out))};
}

}  // namespace wd
