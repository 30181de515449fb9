#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <type_traits>

#include "conv.h"
#include "kernels.h"
#include "product.h"
#include "work.h"

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

// Lanes of the compiler's generic vectors: four (SSE on every x86-64), eight (AVX) or
// sixteen (AVX-512), the wider ones on processors that have them. The engine is
// compiled without floating-point contraction, so `x * w + acc` stays a product and a
// sum, each rounded, at any width: all widths give the same values.
typedef float Lanes4 __attribute__((vector_size(16)));
typedef float Lanes8 __attribute__((vector_size(32)));
typedef float Lanes16 __attribute__((vector_size(64)));

template <typename Lanes>
constexpr uint64_t kLanes = sizeof(Lanes) / sizeof(float);

// The integer vector of as many lanes, as comparisons give it: lane masks and orders.
template <typename Lanes>
using LaneInts = decltype(Lanes{} < Lanes{});

// The width the last few columns of a row drop to; none below four lanes.
template <typename Lanes>
struct Narrower {
  using type = void;
};
template <>
struct Narrower<Lanes16> {
  using type = Lanes8;
};
template <>
struct Narrower<Lanes8> {
  using type = Lanes4;
};

// Vectors are handed over by reference, never by value: the eight-lane ones are passed
// differently with and without AVX.
template <typename Vector, typename Value>
void splat(Vector& v, Value value) {
  Value values[sizeof v / sizeof value];
#pragma GCC unroll 16
  for (Value& lane : values) lane = value;
  std::memcpy(&v, values, sizeof v);
}

// Input values for consecutive output columns, the first reading `at`. Stride 0
// stands for any stride; 1 and 2 read whole vectors (for 2, the second vector starts
// one value early, so that nothing past the last value needed is read).
template <typename Lanes, int Stride>
void input_lanes(Lanes& v, const float* at, uint64_t stride) {
  constexpr uint64_t lanes = kLanes<Lanes>;
  if constexpr (Stride == 1) {
    std::memcpy(&v, at, sizeof v);
  } else if constexpr (Stride == 2) {
    Lanes low, high;
    std::memcpy(&low, at, sizeof low);
    std::memcpy(&high, at + lanes - 1, sizeof high);
    if constexpr (lanes == 4) {
      v = __builtin_shufflevector(low, high, 0, 2, 5, 7);
    } else if constexpr (lanes == 8) {
      // Within each four lanes, then pairs of lanes across the vector: AVX2 has no
      // single shuffle of two vectors, and this pair is cheaper than the compiler's.
      const Lanes quads = __builtin_shufflevector(low, high, 0, 2, 9, 11, 4, 6, 13, 15);
      v = __builtin_shufflevector(quads, quads, 0, 1, 4, 5, 2, 3, 6, 7);
    } else {
      v = __builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14, 17, 19, 21, 23, 25, 27,
                                  29, 31);
    }
  } else {
    float values[lanes];
#pragma GCC unroll 16
    for (uint64_t l = 0; l < lanes; ++l) values[l] = at[l * stride];
    std::memcpy(&v, values, sizeof v);
  }
}

// How the lanes of one vector of output columns read one kernel column, worked out
// once per vector so that its taps only load, and mask where some lanes read padding.
// One per kernel column, as small as a column table entry: the masks and lane orders of
// its taps come from the tables below.
struct Reach {
  enum class Kind : uint8_t {
    None,      // no lane reads inside the input: the taps are skipped
    Whole,     // every lane does: a plain load at `input`
    Shifted,   // a whole vector of valid columns loaded at `input`, lane l moved from l + shift
    Gathered,  // fewer valid columns than lanes: lane by lane from `input`
  };
  Kind kind;
  int32_t shift;   // Shifted: from -lanes to lanes, exclusive
  uint32_t low;    // lanes [low, high) read inside the input
  uint32_t high;
  uint64_t input;  // the input position of the first value loaded
};

// Lanes from `low` on are those of kLaneMasks + 16 - low; lane l of
// kLaneRotations<lanes> + lanes + shift is (l + shift) mod lanes.
constexpr int32_t kLaneMasks[32] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
template <uint64_t Lanes>
constexpr std::array<int32_t, 3 * Lanes> kLaneRotations = [] {
  std::array<int32_t, 3 * Lanes> rotations{};
  for (uint64_t i = 0; i < rotations.size(); ++i) rotations[i] = static_cast<int32_t>(i % Lanes);
  return rotations;
}();

// Lane l takes lane (l + shift) mod lanes: only border vectors need it, so lane by
// lane, which every compiler takes.
template <typename Lanes>
void rotate_lanes(Lanes& v, int32_t shift) {
  constexpr uint64_t lanes = kLanes<Lanes>;
  float from[lanes];
  float to[lanes];
  std::memcpy(from, &v, sizeof v);
  const int32_t* order = kLaneRotations<lanes>.data() + lanes + shift;
#pragma GCC unroll 16
  for (uint64_t l = 0; l < lanes; ++l) to[l] = from[order[l]];
  std::memcpy(&v, to, sizeof v);
}

template <typename Lanes>
void find_reach(Reach& reach, const ColumnEntry& entry, uint64_t first, uint64_t stride) {
  constexpr uint64_t lanes = kLanes<Lanes>;
  const Span columns = entry.columns;
  const uint64_t low = columns.first > first ? std::min(columns.first - first, lanes) : 0;
  const uint64_t high = columns.end > first ? std::min(columns.end - first, lanes) : 0;
  reach.low = static_cast<uint32_t>(low);
  reach.high = static_cast<uint32_t>(high);
  if (reach.high <= reach.low) {
    reach.kind = Reach::Kind::None;
    return;
  }
  // The output column whose input the first loaded value is.
  uint64_t loaded = first;
  if (reach.high - reach.low == lanes) {
    reach.kind = Reach::Kind::Whole;
  } else if (columns.end - columns.first >= lanes) {
    // The valid vector nearest to the vector's columns holds all of their valid ones.
    reach.kind = Reach::Kind::Shifted;
    loaded = std::clamp(first, columns.first, columns.end - lanes);
    reach.shift = static_cast<int32_t>(static_cast<int64_t>(first) - static_cast<int64_t>(loaded));
  } else {
    reach.kind = Reach::Kind::Gathered;
    loaded = first + reach.low;
  }
  reach.input = entry.first_input + (loaded - columns.first) * stride;
}

// Filters per block: as many as keep their accumulators, the input and a product in
// registers (32 with AVX-512, 16 below it), so that the input's loads and shuffles serve
// many filters; the last filters of a group in blocks of eight, four or one.
template <typename Lanes>
constexpr int kFilterBlock = std::is_same_v<Lanes, Lanes16> ? 16 : 12;
constexpr float kZeroStarts[16] = {};

template <typename Lanes>
int filter_block(uint64_t left) {
  for (int block : {kFilterBlock<Lanes>, 8, 4}) {
    if (left >= static_cast<uint64_t>(block)) return block;
  }
  return 1;
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
  const float* starts;                    // each filter's first term: its bias, or +0
  std::span<Reach> reaches;               // one per kernel column, for the current vector
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

template <typename Lanes, int Filters>
void store(const Lanes (&acc)[Filters], float* out, uint64_t plane, uint64_t first) {
#pragma GCC unroll 16
  for (int f = 0; f < Filters; ++f) {
    std::memcpy(out + f * plane + first, &acc[f], sizeof acc[f]);
  }
}

// Adds to each filter's accumulator its weight times the input values: in every lane, or
// with Masked only in the lanes `inside` holds, the others keeping their sums as they are.
template <bool Masked, typename Lanes, int Filters>
void add_products(Lanes (&acc)[Filters], const Lanes& in, const LaneInts<Lanes>& inside,
                  const float* weights, uint64_t filter_stride) {
#pragma GCC unroll 16
  for (int f = 0; f < Filters; ++f) {
    Lanes wv;
    splat(wv, weights[f * filter_stride]);
    if constexpr (Masked) {
      acc[f] = inside ? in * wv + acc[f] : acc[f];
    } else {
      acc[f] = in * wv + acc[f];
    }
  }
}

// Output columns [first, first + lanes) of Filters filters (output rows `plane` apart),
// kept in registers across all taps; each tap's input values are loaded once for all
// the filters. Lanes whose column reads padding at a kernel column skip its taps.
// Every vector starts from the filters' start values, so one that overlaps columns
// already done gives them again exactly as they are.
template <typename Lanes, int Filters, int Stride>
void vector_run(const RowTaps& taps, float* out, uint64_t plane, uint64_t first) {
  constexpr uint64_t lanes = kLanes<Lanes>;
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  bool whole = true;
  for (uint64_t kw = 0; kw < taps.g.kw; ++kw) {
    find_reach<Lanes>(taps.reaches[kw], taps.table[kw], first, stride);
    whole = whole && taps.reaches[kw].kind == Reach::Kind::Whole;
  }
  Lanes acc[Filters];
#pragma GCC unroll 16
  for (int f = 0; f < Filters; ++f) splat(acc[f], taps.starts[f]);
  const auto accumulate = [&](const Lanes& in, const float* weights) {
    add_products<false>(acc, in, LaneInts<Lanes>{}, weights, taps.filter_stride);
  };
  if (whole) {
    // Every kernel column reads inside the input at every lane, `dilation` values
    // after the one before.
    const uint64_t dilation = static_cast<uint64_t>(taps.params.dilations[1]);
    const uint64_t lead = taps.reaches[0].input;
    taps.each([&](const float* row, uint64_t kw, const float* weights) {
      Lanes in;
      input_lanes<Lanes, Stride>(in, row + lead + kw * dilation, stride);
      accumulate(in, weights);
    });
    store(acc, out, plane, first);
    return;
  }
  taps.each([&](const float* row, uint64_t kw, const float* weights) {
    const Reach& reach = taps.reaches[kw];
    if (reach.kind == Reach::Kind::None) return;
    Lanes in;
    if (reach.kind == Reach::Kind::Gathered) {
      float values[lanes] = {};
      for (uint64_t l = reach.low; l < reach.high; ++l) {
        values[l] = row[reach.input + (l - reach.low) * stride];
      }
      std::memcpy(&in, values, sizeof in);
    } else {
      input_lanes<Lanes, Stride>(in, row + reach.input, stride);
      if (reach.kind == Reach::Kind::Whole) {
        accumulate(in, weights);
        return;
      }
      rotate_lanes(in, reach.shift);
    }
    LaneInts<Lanes> from_low, from_high;
    std::memcpy(&from_low, kLaneMasks + 16 - reach.low, sizeof from_low);
    std::memcpy(&from_high, kLaneMasks + 16 - reach.high, sizeof from_high);
    add_products<true>(acc, in, from_low & ~from_high, weights, taps.filter_stride);
  });
  store(acc, out, plane, first);
}

// A single output column of Filters filters: the columns of rows narrower than the
// narrowest vector, and a last column left over after the vectors.
template <int Filters>
void single_column(const RowTaps& taps, float* out, uint64_t plane, uint64_t column) {
  const uint64_t stride = static_cast<uint64_t>(taps.params.strides[1]);
  float acc[Filters];
#pragma GCC unroll 16
  for (int f = 0; f < Filters; ++f) acc[f] = taps.starts[f];
  taps.each([&](const float* row, uint64_t kw, const float* weights) {
    const ColumnEntry& entry = taps.table[kw];
    if (column < entry.columns.first || column >= entry.columns.end) return;
    const float in = row[entry.first_input + (column - entry.columns.first) * stride];
#pragma GCC unroll 16
    for (int f = 0; f < Filters; ++f) acc[f] = in * weights[f * taps.filter_stride] + acc[f];
  });
#pragma GCC unroll 16
  for (int f = 0; f < Filters; ++f) out[f * plane + column] = acc[f];
}

// Output columns [column, end) of a row of `end` columns, in vectors; the last few at
// a narrower width, or in a vector that ends with the row and overlaps columns already
// done.
template <typename Lanes, int Filters, int Stride>
void output_columns(const RowTaps& taps, float* out, uint64_t plane, uint64_t column,
                    uint64_t end) {
  constexpr uint64_t lanes = kLanes<Lanes>;
  using Next = typename Narrower<Lanes>::type;
  if (end < lanes) {
    if constexpr (std::is_void_v<Next>) {
      for (; column < end; ++column) single_column<Filters>(taps, out, plane, column);
    } else {
      output_columns<Next, Filters, Stride>(taps, out, plane, column, end);
    }
    return;
  }
  for (; end - column >= lanes; column += lanes) {
    vector_run<Lanes, Filters, Stride>(taps, out, plane, column);
  }
  if (column == end) return;
  if constexpr (!std::is_void_v<Next>) {
    if (end - column <= lanes / 2) {
      output_columns<Next, Filters, Stride>(taps, out, plane, column, end);
      return;
    }
  } else {
    // A vector costs as many operations as a single column at this width.
    if (end - column == 1) {
      single_column<Filters>(taps, out, plane, column);
      return;
    }
  }
  vector_run<Lanes, Filters, Stride>(taps, out, plane, end - lanes);
}

template <typename Lanes, int Filters>
void output_row(const RowTaps& taps, float* out, uint64_t plane) {
  const int64_t stride = taps.params.strides[1];
  if (stride == 1) {
    output_columns<Lanes, Filters, 1>(taps, out, plane, 0, taps.g.ow);
  } else if (stride == 2) {
    output_columns<Lanes, Filters, 2>(taps, out, plane, 0, taps.g.ow);
  } else {
    output_columns<Lanes, Filters, 0>(taps, out, plane, 0, taps.g.ow);
  }
}

template <typename Lanes>
void general(const op::Conv& params, const Geometry& g, std::span<const float> x,
             std::span<const float> f, const std::optional<FloatView>& bias,
             std::span<float> out) {
  const int64_t sh = params.strides[0], sw = params.strides[1];
  const int64_t dh = params.dilations[0], dw = params.dilations[1];
  const int64_t pt = params.pads[0], pl = params.pads[1];

  const uint64_t taps_per_filter = g.cg * g.kh * g.kw;
  // Without taps, or without outputs, the tables are not needed; the kernel may still be
  // wide (no channels, or no filters), and its width must not size an allocation.
  const bool has_taps = taps_per_filter != 0 && !out.empty();
  std::vector<ColumnEntry> table(has_taps ? g.kw : 0);
  std::vector<Reach> reaches(table.size());
  for (uint64_t kw = 0; kw < table.size(); ++kw) {
    const Wide base = Wide(kw) * dw - pl;
    const Span columns = valid_positions(base, sw, g.w, g.ow);
    const Wide first_input = base + Wide(columns.first) * sw;
    table[kw] = {columns, columns.first < columns.end ? static_cast<uint64_t>(first_input) : 0};
  }
  const uint64_t plane = g.oh * g.ow;
  const uint64_t filters_per_group = g.m / g.groups;
  std::vector<uint64_t> kernel_rows;
  std::vector<uint64_t> input_rows;
  kernel_rows.reserve(has_taps ? g.kh : 0);
  input_rows.reserve(has_taps ? g.kh : 0);
  for (uint64_t item = 0; item < g.n; ++item) {
    const std::span<float> item_out = out.subspan(item * g.m * plane, g.m * plane);
    if (!has_taps) {
      for (uint64_t filter = 0; filter < g.m; ++filter) {
        fill_bias(item_out.subspan(filter * plane, plane), bias, filter);
      }
      continue;
    }
    for (uint64_t group = 0; group < g.groups; ++group) {
      const float* channels = x.data() + (item * g.c + group * g.cg) * g.h * g.w;
      const uint64_t group_end = (group + 1) * filters_per_group;
      for (uint64_t filter = group * filters_per_group; filter < group_end;) {
        const int block = filter_block<Lanes>(group_end - filter);
        const float* starts = bias ? bias->data.data() + filter : kZeroStarts;
        for (uint64_t oh = 0; oh < g.oh; ++oh) {
          kernel_rows.clear();
          input_rows.clear();
          for (uint64_t kh = 0; kh < g.kh; ++kh) {
            const Wide ih = Wide(oh) * sh + Wide(kh) * dh - pt;
            if (ih < 0 || ih >= Wide(g.h)) continue;
            kernel_rows.push_back(kh);
            input_rows.push_back(static_cast<uint64_t>(ih));
          }
          const uint64_t row_start = filter * plane + oh * g.ow;
          // The vectors write every output of a row with taps; the others are their bias.
          if (kernel_rows.empty()) {
            for (uint64_t b = 0; b < static_cast<uint64_t>(block); ++b) {
              fill_bias(item_out.subspan(row_start + b * plane, g.ow), bias, filter + b);
            }
            continue;
          }
          const RowTaps taps{params,          g,          table,
                             channels,        f.data() + filter * taps_per_filter,
                             taps_per_filter, starts,     reaches,
                             kernel_rows,     input_rows};
          float* row_out = item_out.data() + row_start;
          if (block == kFilterBlock<Lanes>) {
            output_row<Lanes, kFilterBlock<Lanes>>(taps, row_out, plane);
          } else if (block == 8) {
            output_row<Lanes, 8>(taps, row_out, plane);
          } else if (block == 4) {
            output_row<Lanes, 4>(taps, row_out, plane);
          } else {
            output_row<Lanes, 1>(taps, row_out, plane);
          }
        }
        filter += static_cast<uint64_t>(block);
      }
    }
  }
}

// The general path at the wider widths, each compiled for its instructions with every
// call inlined into it.
__attribute__((target("avx2"), flatten)) void general_wide(
    const op::Conv& params, const Geometry& g, std::span<const float> x, std::span<const float> f,
    const std::optional<FloatView>& bias, std::span<float> out) {
  general<Lanes8>(params, g, x, f, bias, out);
}

__attribute__((target("avx512f,avx512vl"), flatten)) void general_wider(
    const op::Conv& params, const Geometry& g, std::span<const float> x, std::span<const float> f,
    const std::optional<FloatView>& bias, std::span<float> out) {
  general<Lanes16>(params, g, x, f, bias, out);
}

using General = void (*)(const op::Conv&, const Geometry&, std::span<const float>,
                         std::span<const float>, const std::optional<FloatView>&,
                         std::span<float>);

bool processor_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool processor_has_avx512() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  return has;
}

// The lanes tests ask for; 0 leaves the choice to the processor.
std::atomic<uint64_t> forced_lanes{0};

General general_for_processor() {
  const uint64_t lanes = forced_lanes.load(std::memory_order_relaxed);
  if (lanes == 4) return general<Lanes4>;
  if (lanes != 8 && processor_has_avx512()) return general_wider;
  return processor_has_avx2() ? general_wide : general<Lanes4>;
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
  WD_CHECK(check_operation_work("Conv", loop_work({count, g.cg, g.kh, g.kw})));
  std::vector<float> out(count, 0.0f);
  if (count != 0) {
    if (is_pointwise(params, g)) {
      pointwise(g, x.data, f.data, bias, out);
    } else {
      general_for_processor()(params, g, x.data, f.data, bias, out);
    }
  }
  // Moved in: a braced list would copy the result out of the list.
  Outputs outputs;
  outputs.push_back(Tensor::floats(std::move(shape), std::move(out)));
  return outputs;
}

namespace testing {

bool force_conv_lanes(uint64_t lanes) {
  const bool runs = lanes == 0 || lanes == 4 || (lanes == 8 && processor_has_avx2()) ||
                    (lanes == 16 && processor_has_avx512());
  if (runs) forced_lanes.store(lanes, std::memory_order_relaxed);
  return runs;
}

}  // namespace testing

}  // namespace wd
