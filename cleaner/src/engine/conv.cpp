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

// One output row of a block of filters of the same group: the kernel rows that fall
// inside the input, the input rows they read, and the weights.
struct RowTaps {
  const op::Conv& params;
  const Geometry& g;
  const std::vector<ColumnEntry>& table;
  const float* channels;                  // the group's first input channel of the item
  const float* weights;                   // the block's first filter's Cg x kH x kW weights
  uint64_t filter_stride;                 // from one filter's weights to the next's
  std::span<const uint64_t> kernel_rows;
  std::span<const uint64_t> input_rows;

  // Calls visit(input row, kernel column, weights of the first filter at the tap) for
  // every tap, in the order channel, kernel row, kernel column.
  template <typename Visit>
  void each(Visit&& visit) const {
    const uint64_t in_plane = g.h * g.w;
    for (uint64_t ci = 0; ci < g.cg; ++ci) {
      for (uint64_t r = 0; r < kernel_rows.size(); ++r) {
        const float* row = channels + ci * in_plane + input_rows[r] * g.w;
        const float* w = weights + (ci * g.kh + kernel_rows[r]) * g.kw;
        for (uint64_t kw = 0; kw < g.kw; ++kw) visit(row, kw, w + kw);
      }
    }
  }
};

// Output columns [first, first + 4 * Vectors) of Filters filters (output rows
// `plane` apart), every column valid for every kernel column, kept in registers
// across all taps; the input values are loaded once for all the filters.
template <int Filters, int Vectors, int Stride>
void column_run(const RowTaps& taps, float* out, uint64_t plane, uint64_t first) {
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  Lanes4 acc[Filters][Vectors];
#pragma GCC unroll 8
  for (int f = 0; f < Filters; ++f) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      std::memcpy(&acc[f][v], out + f * plane + first + 4 * v, sizeof acc[f][v]);
    }
  }
  taps.each([&](const float* row, uint64_t kw, const float* weights) {
    const ColumnEntry& entry = taps.table[kw];
    const float* at = row + entry.first_input + (first - entry.columns.first) * stride;
    Lanes4 in[Vectors];
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) in[v] = input_lanes<Stride>(at + 4 * v * stride, stride);
#pragma GCC unroll 8
    for (int f = 0; f < Filters; ++f) {
      const float w = weights[f * taps.filter_stride];
      const Lanes4 wv = {w, w, w, w};
#pragma GCC unroll 8
      for (int v = 0; v < Vectors; ++v) acc[f][v] = in[v] * wv + acc[f][v];
    }
  });
#pragma GCC unroll 8
  for (int f = 0; f < Filters; ++f) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      std::memcpy(out + f * plane + first + 4 * v, &acc[f][v], sizeof acc[f][v]);
    }
  }
}

// A single output column of Filters filters, for which some kernel columns may fall
// outside the input.
template <int Filters>
void single_column(const RowTaps& taps, float* out, uint64_t plane, uint64_t column) {
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  float acc[Filters];
#pragma GCC unroll 8
  for (int f = 0; f < Filters; ++f) acc[f] = out[f * plane + column];
  taps.each([&](const float* row, uint64_t kw, const float* weights) {
    const ColumnEntry& entry = taps.table[kw];
    if (column < entry.columns.first || column >= entry.columns.end) return;
    const float in = row[entry.first_input + (column - entry.columns.first) * stride];
#pragma GCC unroll 8
    for (int f = 0; f < Filters; ++f) acc[f] = in * weights[f * taps.filter_stride] + acc[f];
  });
#pragma GCC unroll 8
  for (int f = 0; f < Filters; ++f) out[f * plane + column] = acc[f];
}

// Blocks of filters are either this many or one.
constexpr uint64_t kFilterBlock = 4;

template <int Filters, int Stride>
void output_row(const RowTaps& taps, float* out, uint64_t plane) {
  // Columns that every kernel column reads inside the input go in vector runs; the
  // rest, near the borders, one at a time.
  uint64_t inner_first = 0;
  uint64_t inner_end = taps.g.ow;
  for (const ColumnEntry& entry : taps.table) {
    inner_first = std::max(inner_first, entry.columns.first);
    inner_end = std::min(inner_end, entry.columns.end);
  }
  if (inner_end < inner_first) inner_end = inner_first;
  // Wide runs for a single filter, narrower ones when the filters share the registers.
  constexpr int kWide = Filters == 1 ? 8 : 2;
  uint64_t column = 0;
  for (; column < inner_first; ++column) single_column<Filters>(taps, out, plane, column);
  for (; inner_end - column >= 4 * kWide; column += 4 * kWide) {
    column_run<Filters, kWide, Stride>(taps, out, plane, column);
  }
  for (; inner_end - column >= 4; column += 4) {
    column_run<Filters, 1, Stride>(taps, out, plane, column);
  }
  for (; column < taps.g.ow; ++column) single_column<Filters>(taps, out, plane, column);
}

using RowFn = void (*)(const RowTaps&, float*, uint64_t);

template <int Filters>
RowFn row_for_stride(int64_t stride) {
  return stride == 1 ? output_row<Filters, 1> : stride == 2 ? output_row<Filters, 2>
                                                            : output_row<Filters, 0>;
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
  const RowFn single_row = row_for_stride<1>(sw);
  const RowFn block_row = row_for_stride<kFilterBlock>(sw);
  const uint64_t plane = g.oh * g.ow;
  const uint64_t filters_per_group = g.m / g.groups;
  const uint64_t taps_per_filter = g.cg * g.kh * g.kw;
  std::vector<uint64_t> kernel_rows;
  std::vector<uint64_t> input_rows;
  kernel_rows.reserve(g.kh);
  input_rows.reserve(g.kh);
  for (uint64_t item = 0; item < g.n; ++item) {
    float* item_out = out.data() + item * g.m * plane;
    for (uint64_t filter = 0; filter < g.m; ++filter) {
      fill_bias(out.subspan((item * g.m + filter) * plane, plane), bias, filter);
    }
    if (taps_per_filter == 0) continue;
    for (uint64_t group = 0; group < g.groups; ++group) {
      const float* channels = x.data() + (item * g.c + group * g.cg) * g.h * g.w;
      const uint64_t group_end = (group + 1) * filters_per_group;
      for (uint64_t filter = group * filters_per_group; filter < group_end;) {
        const bool block = group_end - filter >= kFilterBlock;
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
          const RowTaps taps{params,      g, table, channels, f.data() + filter * taps_per_filter,
                             taps_per_filter, kernel_rows, input_rows};
          (block ? block_row : single_row)(taps, item_out + filter * plane + oh * g.ow, plane);
        }
        filter += block ? kFilterBlock : 1;
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
