#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "conv.h"
#include "kernels.h"
#include "product.h"

namespace wd {
namespace {

Tensor floats(Shape shape, std::vector<float> data) {
  return Tensor::floats(std::move(shape), std::move(data));
}

// Small integers (or quarters) whose products and sums are exact in single
// precision, so the expected values do not depend on the order or the rounding.
std::vector<float> small_values(uint64_t count, std::mt19937& rng, float scale = 1.0f) {
  std::uniform_int_distribution<int> pick(-6, 6);
  std::vector<float> values(count);
  for (float& v : values) v = static_cast<float>(pick(rng)) * scale;
  return values;
}

std::vector<float> uniform_values(uint64_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> pick(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& v : values) v = pick(rng);
  return values;
}

enum class Rounding { Exact, Separate, Fused };

// The convolution straight from its definition: for every output value, the bias
// (or +0) followed by the valid taps in the order channel, kernel row, kernel
// column, each tap's input position tested on its own.
std::vector<float> reference(const op::Conv& p, const Tensor& x, const Tensor& f,
                             const Tensor* bias, Rounding rounding) {
  const uint64_t n = x.shape[0], c = x.shape[1], h = x.shape[2], w = x.shape[3];
  const uint64_t m = f.shape[0], cg = f.shape[1], kh = f.shape[2], kw = f.shape[3];
  const int64_t oh = (int64_t(p.pads[0] + h + p.pads[2]) - (p.dilations[0] * int64_t(kh - 1) + 1)) /
                         p.strides[0] + 1;
  const int64_t ow = (int64_t(p.pads[1] + w + p.pads[3]) - (p.dilations[1] * int64_t(kw - 1) + 1)) /
                         p.strides[1] + 1;
  const uint64_t mg = m / uint64_t(p.group);
  std::vector<float> out;
  for (uint64_t b = 0; b < n; ++b) {
    for (uint64_t fm = 0; fm < m; ++fm) {
      for (int64_t y = 0; y < oh; ++y) {
        for (int64_t z = 0; z < ow; ++z) {
          double exact = bias ? bias->f32[fm] : 0.0;
          float acc = bias ? bias->f32[fm] : 0.0f;
          for (uint64_t ci = 0; ci < cg; ++ci) {
            const uint64_t channel = (fm / mg) * cg + ci;
            for (uint64_t r = 0; r < kh; ++r) {
              for (uint64_t s = 0; s < kw; ++s) {
                const int64_t ih = y * p.strides[0] + int64_t(r) * p.dilations[0] - p.pads[0];
                const int64_t iw = z * p.strides[1] + int64_t(s) * p.dilations[1] - p.pads[1];
                if (ih < 0 || iw < 0 || ih >= int64_t(h) || iw >= int64_t(w)) continue;
                const float xv = x.f32[((b * c + channel) * h + uint64_t(ih)) * w + uint64_t(iw)];
                const float wv = f.f32[((fm * cg + ci) * kh + r) * kw + s];
                exact += double(xv) * double(wv);
                if (rounding == Rounding::Fused) {
                  acc = std::fma(xv, wv, acc);
                } else {
                  volatile float product = xv * wv;
                  acc = product + acc;
                }
              }
            }
          }
          out.push_back(rounding == Rounding::Exact ? static_cast<float>(exact) : acc);
        }
      }
    }
  }
  return out;
}

Result<Outputs> conv(const op::Conv& params, const Tensor& x, const Tensor& f,
                     const Tensor* bias = nullptr) {
  const Tensor* list[] = {&x, &f, bias};
  return conv_kernel(params, std::span(list, bias ? 3 : 2));
}

Tensor single_output(const Result<Outputs>& result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().message;
    return {};
  }
  EXPECT_EQ(result->size(), 1u);
  return (*result)[0];
}

op::Conv params(std::array<int64_t, 4> pads = {0, 0, 0, 0},
                std::array<int64_t, 2> strides = {1, 1},
                std::array<int64_t, 2> dilations = {1, 1}, int64_t group = 1) {
  return op::Conv{group, strides, dilations, pads};
}

struct Geometry {
  const char* name;
  Shape x, f;
  op::Conv params;
  bool with_bias;
  Shape out;  // worked out by hand
};

const Geometry kGeometries[] = {
    {"3x3, pads 1, keeps the size", {1, 1, 5, 4}, {1, 1, 3, 3}, params({1, 1, 1, 1}), false,
     {1, 1, 5, 4}},
    {"stride 2 over Hp 6 with eh 3", {1, 2, 4, 4}, {3, 2, 3, 3}, params({1, 1, 1, 1}, {2, 2}),
     true, {1, 3, 2, 2}},
    {"dilation 2 covers five columns", {2, 1, 5, 5}, {1, 1, 3, 3}, params({}, {1, 1}, {2, 2}),
     true, {2, 1, 1, 1}},
    {"depthwise", {1, 3, 4, 5}, {3, 1, 3, 3}, params({1, 1, 1, 1}, {1, 1}, {1, 1}, 3), true,
     {1, 3, 4, 5}},
    {"two groups of two filters", {2, 4, 3, 3}, {4, 2, 2, 2}, params({}, {1, 1}, {1, 1}, 2), true,
     {2, 4, 2, 2}},
    {"uneven pads, strides and dilations", {1, 2, 7, 9}, {2, 2, 3, 2},
     params({2, 0, 1, 3}, {2, 3}, {1, 2}), true, {1, 2, 4, 4}},
    {"pads wider than the kernel reach", {1, 1, 2, 2}, {1, 1, 2, 2}, params({3, 3, 3, 3}), true,
     {1, 1, 7, 7}},
    {"stride larger than the image", {1, 1, 6, 6}, {2, 1, 2, 2}, params({1, 1, 0, 0}, {5, 7}),
     true, {1, 2, 2, 1}},
    {"rows wide enough for vector runs, unit stride", {1, 2, 3, 45}, {6, 2, 3, 3},
     params({0, 1, 0, 1}), true, {1, 6, 1, 45}},
    {"rows wide enough for vector runs, stride 2", {1, 3, 3, 161}, {5, 3, 3, 3},
     params({0, 1, 0, 1}, {1, 2}), true, {1, 5, 1, 81}},
    {"rows of twelve inner columns, fewer than the widest vector", {1, 2, 2, 14}, {5, 2, 2, 3},
     params({0, 1, 0, 1}), true, {1, 5, 1, 14}},
    {"two groups of five filters over wide rows", {2, 4, 3, 40}, {10, 2, 3, 3},
     params({1, 1, 1, 1}, {1, 1}, {1, 1}, 2), true, {2, 10, 3, 40}},
    {"rows wide enough for vector runs, stride 3 and dilation 2", {2, 2, 2, 120}, {2, 2, 2, 3},
     params({}, {1, 3}, {1, 2}), false, {2, 2, 1, 39}},
    {"1x1 with pads takes the general path", {1, 2, 3, 3}, {2, 2, 1, 1}, params({1, 1, 1, 1}),
     true, {1, 2, 5, 5}},
    {"1x1 pointwise", {2, 5, 3, 4}, {7, 5, 1, 1}, params(), true, {2, 7, 3, 4}},
    {"1x1 pointwise without bias", {1, 9, 1, 13}, {3, 9, 1, 1}, params(), false, {1, 3, 1, 13}},
    {"1x1 with stride 2", {1, 2, 5, 5}, {1, 2, 1, 1}, params({}, {2, 2}), false, {1, 1, 3, 3}},
    {"no filters", {1, 2, 3, 3}, {0, 2, 3, 3}, params(), false, {1, 0, 1, 1}},
    {"filters without columns: every output is its bias", {1, 1, 3, 3}, {2, 1, 2, 0}, params(),
     true, {1, 2, 2, 4}},
    {"no channels: every output is its bias", {1, 0, 3, 3}, {2, 0, 2, 2}, params(), true,
     {1, 2, 2, 2}},
};

// Geometries for the general path's vectors: rows of whole vectors with a last column or
// a last vector overlapping the one before, rows narrower than a vector, filter blocks of
// every size, and borders read partly, through windows of valid columns or lane by lane,
// or not at all.
const Geometry kVectorLayouts[] = {
    {"stride 2 over 161 columns, pads 1: five vectors and a last column", {1, 32, 3, 161},
     {32, 32, 3, 3}, params({0, 1, 0, 1}, {1, 2}), true, {1, 32, 1, 81}},
    {"unit stride over 161 columns, pads 1", {1, 2, 3, 161}, {32, 2, 3, 3},
     params({0, 1, 0, 1}), true, {1, 32, 1, 161}},
    {"29 filters: blocks of 16, 8, 4 and 1, or 12, 12, 4 and 1", {1, 3, 2, 37}, {29, 3, 2, 3},
     params({0, 1, 0, 1}), true, {1, 29, 1, 37}},
    {"34 columns: two left over at four lanes", {1, 2, 1, 34}, {6, 2, 1, 3},
     params({0, 1, 0, 1}), true, {1, 6, 1, 34}},
    {"29 columns: thirteen left over, more than half a vector", {1, 2, 1, 29}, {5, 2, 1, 3},
     params({0, 1, 0, 1}), false, {1, 5, 1, 29}},
    {"three columns, fewer than any vector holds", {1, 2, 2, 3}, {3, 2, 2, 3},
     params({0, 1, 0, 1}), true, {1, 3, 1, 3}},
    {"six columns: one vector of four and two left over", {1, 2, 2, 6}, {3, 2, 2, 3},
     params({0, 1, 0, 1}), true, {1, 3, 1, 6}},
    {"a narrow image in wide pads: vectors of padding only, fewer valid columns than lanes",
     {1, 2, 3, 5}, {4, 2, 3, 3}, params({1, 20, 1, 20}), true, {1, 4, 3, 43}},
    {"dilation 3 with pads 4 over 42 columns", {1, 2, 2, 40}, {9, 2, 2, 3},
     params({0, 4, 0, 4}, {1, 1}, {1, 3}), true, {1, 9, 1, 42}},
    {"stride 3 and dilation 2 over pads", {1, 3, 2, 100}, {4, 3, 2, 3},
     params({0, 2, 0, 3}, {1, 3}, {1, 2}), true, {1, 4, 1, 34}},
    {"two items, two groups of twelve filters", {2, 4, 3, 50}, {24, 2, 3, 3},
     params({1, 1, 1, 1}, {1, 1}, {1, 1}, 2), true, {2, 24, 3, 50}},
    {"rows that read only padding keep their bias", {1, 3, 2, 20}, {5, 3, 3, 3},
     params({4, 1, 4, 1}), true, {1, 5, 8, 20}},
    {"a left pad wider than a vector", {1, 2, 1, 30}, {3, 2, 1, 3}, params({0, 17, 0, 0}),
     false, {1, 3, 1, 45}},
};

// Runs the general path at a given number of lanes while it lives, then leaves the
// choice to the processor again.
class ForcedLanes {
 public:
  explicit ForcedLanes(uint64_t lanes) : runs_(testing::force_conv_lanes(lanes)) {}
  ~ForcedLanes() { testing::force_conv_lanes(0); }
  ForcedLanes(const ForcedLanes&) = delete;
  ForcedLanes& operator=(const ForcedLanes&) = delete;
  bool runs() const { return runs_; }

 private:
  bool runs_;
};

constexpr uint64_t kWidths[] = {4, 8, 16};

std::vector<uint32_t> bits(const std::vector<float>& values) {
  std::vector<uint32_t> out(values.size());
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(float));
  return out;
}

TEST(Conv, MatchesTheDefinitionOnExactData) {
  std::mt19937 rng(3);
  for (const Geometry& g : kGeometries) {
    SCOPED_TRACE(g.name);
    const Tensor x = floats(g.x, small_values(element_count(g.x), rng));
    const Tensor f = floats(g.f, small_values(element_count(g.f), rng, 0.25f));
    const Tensor b = floats({g.f[0]}, small_values(g.f[0], rng));
    const Tensor* bias = g.with_bias ? &b : nullptr;
    const Tensor y = single_output(conv(g.params, x, f, bias));
    EXPECT_EQ(y.shape, g.out);
    EXPECT_EQ(y.f32, reference(g.params, x, f, bias, Rounding::Exact));
  }
}

// Each path keeps its documented rounding on general data: the 1x1 path that of the
// matrix product (fused where the processor has FMA), the general path a separately
// rounded product and sum per tap.
TEST(Conv, RoundingOfEachPath) {
  const bool fused = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  std::mt19937 rng(5);
  for (const Geometry& g : kGeometries) {
    SCOPED_TRACE(g.name);
    const Tensor x = floats(g.x, uniform_values(element_count(g.x), rng));
    const Tensor f = floats(g.f, uniform_values(element_count(g.f), rng));
    const Tensor b = floats({g.f[0]}, uniform_values(g.f[0], rng));
    const Tensor* bias = g.with_bias ? &b : nullptr;
    const bool pointwise = g.f[2] == 1 && g.f[3] == 1 && g.params.group == 1 &&
                           g.params.strides == std::array<int64_t, 2>{1, 1} &&
                           g.params.pads == std::array<int64_t, 4>{0, 0, 0, 0};
    const Rounding rounding = pointwise && fused ? Rounding::Fused : Rounding::Separate;
    EXPECT_EQ(single_output(conv(g.params, x, f, bias)).f32,
              reference(g.params, x, f, bias, rounding));
    if (pointwise) {
      testing::force_portable_product(true);
      EXPECT_EQ(single_output(conv(g.params, x, f, bias)).f32,
                reference(g.params, x, f, bias, Rounding::Separate));
      testing::force_portable_product(false);
    }
  }
}

// Every width of the general path gives each output the same sequence of rounded
// products and sums as the definition.
TEST(Conv, EveryWidthKeepsTheOrderOfEachOutput) {
  std::mt19937 rng(11);
  for (const Geometry& g : kVectorLayouts) {
    SCOPED_TRACE(g.name);
    const Tensor x = floats(g.x, uniform_values(element_count(g.x), rng));
    const Tensor f = floats(g.f, uniform_values(element_count(g.f), rng));
    const Tensor b = floats({g.f[0]}, uniform_values(g.f[0], rng));
    const Tensor* bias = g.with_bias ? &b : nullptr;
    const std::vector<uint32_t> expected =
        bits(reference(g.params, x, f, bias, Rounding::Separate));
    for (uint64_t lanes : kWidths) {
      const ForcedLanes width(lanes);
      if (!width.runs()) continue;
      SCOPED_TRACE(lanes);
      const Tensor y = single_output(conv(g.params, x, f, bias));
      EXPECT_EQ(y.shape, g.out);
      EXPECT_EQ(bits(y.f32), expected);
    }
  }
}

// The same 1x1 convolution through both paths: the general path is reached with the
// filter widened by a zero column and the input padded on the right by one column,
// which adds only zero terms.
TEST(Conv, PointwisePathAgreesWithTheGeneralPath) {
  std::mt19937 rng(9);
  const uint64_t m = 6, c = 11, h = 4, w = 9;
  const Tensor x = floats({2, c, h, w}, small_values(2 * c * h * w, rng));
  const Tensor f = floats({m, c, 1, 1}, small_values(m * c, rng, 0.5f));
  std::vector<float> widened;
  for (float v : f.f32) widened.insert(widened.end(), {v, 0.0f});
  const Tensor f_wide = floats({m, c, 1, 2}, widened);
  const Tensor b = floats({1, m}, small_values(m, rng));
  const Tensor pointwise = single_output(conv(params(), x, f, &b));
  const Tensor general = single_output(conv(params({0, 0, 0, 1}), x, f_wide, &b));
  EXPECT_EQ(pointwise.shape, (Shape{2, m, h, w}));
  EXPECT_EQ(general.shape, pointwise.shape);
  EXPECT_EQ(general.f32, pointwise.f32);
}

TEST(Conv, ByHand) {
  // 3x3 of ones over 1..9 with pads 1: each output sums its neighbourhood; the
  // corners see only four taps.
  const Tensor x = floats({1, 1, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  const Tensor ones = floats({1, 1, 3, 3}, std::vector<float>(9, 1.0f));
  EXPECT_EQ(single_output(conv(params({1, 1, 1, 1}), x, ones)).f32,
            (std::vector<float>{12, 21, 16, 27, 45, 33, 24, 39, 28}));

  // A filter that picks the tap at kernel row 0, column 2: out(oh, ow) = x(oh - 1, ow + 1).
  std::vector<float> pick(9, 0.0f);
  pick[2] = 1.0f;
  const Tensor corner = floats({1, 1, 3, 3}, pick);
  EXPECT_EQ(single_output(conv(params({1, 1, 1, 1}), x, corner)).f32,
            (std::vector<float>{0, 0, 0, 2, 3, 0, 5, 6, 0}));

  // Stride 2 over rows 0..5 of the padded image reads rows 0..2 and 2..4; the last
  // padded row (5) is never read, so the bottom pad changes nothing.
  const Tensor x4 = floats({1, 1, 4, 1}, {1, 10, 100, 1000});
  const Tensor column = floats({1, 1, 3, 1}, {1, 1, 1});
  EXPECT_EQ(single_output(conv(params({1, 0, 1, 0}, {2, 1}), x4, column)).f32,
            (std::vector<float>{11, 1110}));

  // Depthwise: filter m reads input channel m only.
  const Tensor x2 = floats({1, 2, 1, 2}, {1, 2, 30, 40});
  const Tensor f2 = floats({2, 1, 1, 1}, {2, 3});
  EXPECT_EQ(single_output(conv(params({}, {1, 1}, {1, 1}, 2), x2, f2)).f32,
            (std::vector<float>{2, 4, 90, 120}));

  // 1x1 with pads 1: the border is the bias.
  const Tensor one = floats({1, 1, 1, 1}, {5});
  const Tensor two = floats({1, 1, 1, 1}, {3});
  const Tensor bias = floats({1}, {-1});
  EXPECT_EQ(single_output(conv(params({1, 1, 1, 1}), one, two, &bias)).f32,
            (std::vector<float>{-1, -1, -1, -1, 14, -1, -1, -1, -1}));
}

// Without a bias every output starts from +0, so taps that are all -0 (0 times a
// negative weight) leave +0, on both paths.
TEST(Conv, WithoutBiasOutputsStartFromPositiveZero) {
  const Tensor x = floats({1, 2, 2, 2}, std::vector<float>(8, 0.0f));
  const Tensor f1 = floats({1, 2, 1, 1}, {-1, -2});
  const Tensor f3 = floats({1, 2, 3, 3}, std::vector<float>(18, -1.0f));
  for (const Tensor* f : {&f1, &f3}) {
    for (float v : single_output(conv(params({1, 1, 1, 1}), x, *f)).f32) {
      EXPECT_EQ(v, 0.0f);
      EXPECT_FALSE(std::signbit(v));
    }
  }
  for (float v : single_output(conv(params(), x, f1)).f32) EXPECT_FALSE(std::signbit(v));
}

// Taps that read the padding are skipped, not added as zero products: with a -0 bias
// and only -0 products (-0 inputs times positive weights) every output stays -0, the
// border columns too, where adding a +0 product would give +0. Five filters take a
// block of four and a single filter, and 21 columns, with pads of up to twenty, give
// vectors that read the input whole, partly, or not at all, at every width.
TEST(Conv, TapsOutsideTheInputAreSkipped) {
  const Tensor x = floats({1, 2, 1, 21}, std::vector<float>(42, -0.0f));
  const Tensor f = floats({5, 2, 1, 3}, std::vector<float>(30, 1.0f));
  const Tensor bias = floats({5}, std::vector<float>(5, -0.0f));
  for (uint64_t lanes : kWidths) {
    const ForcedLanes width(lanes);
    if (!width.runs()) continue;
    SCOPED_TRACE(lanes);
    for (const op::Conv& p : {params({0, 1, 0, 1}), params({0, 2, 0, 3}, {1, 2}),
                              params({0, 20, 0, 20}), params({0, 20, 0, 3}, {1, 3})}) {
      const Tensor y = single_output(conv(p, x, f, &bias));
      ASSERT_FALSE(y.f32.empty());
      for (float v : y.f32) {
        EXPECT_EQ(v, 0.0f);
        EXPECT_TRUE(std::signbit(v));
      }
    }
  }
}

// A kernel with no channels, or a convolution with no filters, has no taps: the outputs
// are their biases at once, however wide the kernel (its width must size nothing).
TEST(Conv, KernelsWithoutTapsAllocateNothingByTheirWidth) {
  constexpr int64_t kWide = int64_t{1} << 27;
  const Tensor x = floats({1, 0, 1, 1}, {});
  const Tensor f = floats({1, 0, 1, kWide}, {});
  const Tensor bias = floats({1}, {2.5f});
  const Tensor y = single_output(conv(params({0, kWide, 0, 0}), x, f, &bias));
  EXPECT_EQ(y.shape, (Shape{1, 1, 1, 2}));
  EXPECT_EQ(y.f32, (std::vector<float>{2.5f, 2.5f}));

  const Tensor x1 = floats({1, 1, 1, 1}, {1.0f});
  const Tensor no_filters = floats({0, 1, 1, kWide}, {});
  EXPECT_TRUE(single_output(conv(params({0, kWide, 0, 0}), x1, no_filters)).f32.empty());

  // A table entry per kernel column would have taken gigabytes.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);
}

TEST(Conv, Failures) {
  const Tensor x = floats({1, 4, 4, 4}, std::vector<float>(64, 1.0f));
  const Tensor x3 = floats({4, 4, 4}, std::vector<float>(64, 1.0f));
  const Tensor w4 = floats({1, 1, 3, 4}, std::vector<float>(12, 1.0f));
  const Tensor f = floats({2, 4, 3, 3}, std::vector<float>(72, 1.0f));
  const Tensor f3 = floats({2, 4, 3}, std::vector<float>(24, 1.0f));
  const Tensor f_cg3 = floats({2, 3, 3, 3}, std::vector<float>(54, 1.0f));
  const Tensor f_m3 = floats({3, 2, 1, 1}, std::vector<float>(6, 1.0f));
  const Tensor f_1ch = floats({1, 1, 3, 3}, std::vector<float>(9, 1.0f));
  const Tensor f_tall = floats({2, 4, 6, 1}, std::vector<float>(48, 1.0f));
  const Tensor bias_ok = floats({1, 2}, {1, 2});
  const Tensor bias_long = floats({3}, {1, 2, 3});
  const Tensor ints = Tensor::int64s({1, 4, 4, 4}, std::vector<int64_t>(64, 1));
  const Tensor tiny = floats({1, 1, 1, 1}, {1});
  const Tensor f_wide = floats({1, 1, 1, 1u << 12}, std::vector<float>(1u << 12, 1.0f));
  struct Case {
    const char* name;
    op::Conv params;
    std::vector<const Tensor*> inputs;
    std::string message;
  };
  const Case cases[] = {
      {"no inputs", params(), {}, "input 0 is missing"},
      {"filters absent", params(), {&x, nullptr}, "input 1 is missing"},
      {"int64 input", params(), {&ints, &f}, "int64 values where floats were expected"},
      {"int64 filters", params(), {&x, &ints}, "int64 values where floats were expected"},
      {"int64 bias", params(), {&x, &f, &ints}, "int64 values where floats were expected"},
      {"input with three axes", params(), {&x3, &f}, "Conv that is not two-dimensional"},
      {"filters with three axes", params(), {&x, &f3}, "Conv that is not two-dimensional"},
      {"C 4 against Cg 3 in one group", params(), {&x, &f_cg3}, "Conv with mismatched channels"},
      {"M not a multiple of the group", params({}, {1, 1}, {1, 1}, 2), {&x, &f_m3},
       "Conv with mismatched channels"},
      {"bias of M + 1 values", params(), {&x, &f, &bias_long}, "Conv with mismatched channels"},
      {"dilation 2 on 3 columns over width 4", params({}, {1, 1}, {1, 2}), {&w4, &f_1ch},
       "Conv kernel larger than its input"},
      {"kernel taller than the padded input", params({1, 0, 0, 0}), {&x, &f_tall},
       "Conv kernel larger than its input"},
      {"output too large", params({int64_t{1} << 40, 0, 0, 0}), {&tiny, &tiny},
       "Conv output holds too many values"},
      {"output count too large", params({int64_t{1} << 20, int64_t{1} << 20, 0, 0}),
       {&tiny, &tiny}, "[1, 1, 1048577, 1048577] holds too many values"},
      // 2^23 output columns of 2^12 taps each: 2^35 multiply-adds, most of them over
      // padding, though every value stays within the element bound.
      {"too much work", params({0, int64_t{1} << 22, 0, (int64_t{1} << 22) + (1 << 12) - 2}),
       {&tiny, &f_wide}, "Conv needs too much work"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Outputs> result = conv_kernel(c.params, c.inputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.message);
  }
  EXPECT_TRUE(conv(params(), x, f, &bias_ok).ok());
}

}  // namespace
}  // namespace wd
