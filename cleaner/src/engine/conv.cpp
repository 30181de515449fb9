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

typedef float Lanes4 __attribute__((vector_size(16)));

// out[o] <- x[o * stride] * w + out[o] for o in [0, count), product and sum rounded
// separately.
void multiply_add_row(float* out, const float* x, uint64_t stride, float w, uint64_t count) {
  uint64_t o = 0;
  if (stride == 1) {
    const Lanes4 wv = {w, w, w, w};
    for (; o + 4 <= count; o += 4) {
      Lanes4 xv, ov;
      std::memcpy(&xv, x + o, sizeof xv);
      std::memcpy(&ov, out + o, sizeof ov);
      ov = xv * wv + ov;
      std::memcpy(out + o, &ov, sizeof ov);
    }
  }
  for (; o < count; ++o) out[o] = x[o * stride] * w + out[o];
}

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

  const uint64_t plane = g.oh * g.ow;
  const uint64_t in_plane = g.h * g.w;
  const uint64_t filters_per_group = g.m / g.groups;
  const uint64_t taps = g.cg * g.kh * g.kw;
  for (uint64_t item = 0; item < g.n; ++item) {
    for (uint64_t filter = 0; filter < g.m; ++filter) {
      const std::span<float> target = out.subspan((item * g.m + filter) * plane, plane);
      fill_bias(target, bias, filter);
      const uint64_t group = filter / filters_per_group;
      for (uint64_t ci = 0; ci < g.cg; ++ci) {
        const uint64_t channel = (item * g.c + group * g.cg + ci) * in_plane;
        for (uint64_t kh = 0; kh < g.kh; ++kh) {
          const Wide row_base = Wide(kh) * dh - pt;
          const Span rows = valid_positions(row_base, sh, g.h, g.oh);
          for (uint64_t kw = 0; kw < g.kw; ++kw) {
            const ColumnEntry& entry = table[kw];
            const uint64_t count = entry.columns.end - entry.columns.first;
            if (count == 0) continue;
            const float w = f[filter * taps + (ci * g.kh + kh) * g.kw + kw];
            for (uint64_t oh = rows.first; oh < rows.end; ++oh) {
              const uint64_t ih = static_cast<uint64_t>(row_base + Wide(oh) * sh);
              multiply_add_row(target.data() + oh * g.ow + entry.columns.first,
                               x.data() + channel + ih * g.w + entry.first_input, sw, w, count);
            }
          }
        }
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
