#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kernels.h"

namespace wd {
namespace {

Result<Outputs> run(const Tensor& x, const Tensor* scale, const Tensor* bias, int64_t axis,
                    float epsilon = 1e-5f) {
  const Tensor* list[] = {&x, scale, bias};
  return layer_normalization_kernel(op::LayerNormalization{axis, epsilon}, list);
}

// Normalisation of rows of `length` values in double precision, as a reference the
// single-precision kernel must come close to.
std::vector<float> reference(const std::vector<float>& x, std::size_t length,
                             const std::vector<float>& scale, const std::vector<float>& bias,
                             double epsilon) {
  std::vector<float> y;
  for (std::size_t start = 0; start < x.size(); start += length) {
    double mean = 0;
    for (std::size_t i = 0; i < length; ++i) mean += x[start + i];
    mean /= static_cast<double>(length);
    double variance = 0;
    for (std::size_t i = 0; i < length; ++i) {
      variance += (x[start + i] - mean) * (x[start + i] - mean);
    }
    variance /= static_cast<double>(length);
    for (std::size_t i = 0; i < length; ++i) {
      const double value = (x[start + i] - mean) / std::sqrt(variance + epsilon) * scale[i] +
                           (bias.empty() ? 0.0 : bias[i]);
      y.push_back(static_cast<float>(value));
    }
  }
  return y;
}

struct NormCase {
  const char* name;
  Shape shape;
  std::vector<float> x;
  int64_t axis;
  float epsilon;
  Shape scale_shape;
  std::vector<float> scale;
  std::vector<float> bias;  // empty: no bias input
  std::size_t length;
};

TEST(LayerNormalization, NormalisesTrailingRunsOfValues) {
  const std::vector<NormCase> cases = {
      {"each row of a matrix", {2, 4}, {1, 2, 3, 4, -10, 0.5f, 7, 2}, -1, 1e-5f, {4},
       {1, 1, 1, 1}, {}, 4},
      {"scale and bias per position", {2, 3}, {0.1f, -0.2f, 0.3f, 5, 6, 8}, 1, 1e-5f, {3},
       {2, -1, 0.5f}, {0.25f, 0, -3}, 3},
      {"axis 0 takes the whole tensor as one row", {2, 3}, {1, 2, 3, 4, 5, 6}, 0, 1e-5f, {2, 3},
       {1, 2, 3, 4, 5, 6}, {}, 6},
      {"two trailing axes", {2, 2, 2}, {1, 5, 2, 8, -1, -1, 3, 4}, -2, 1e-5f, {2, 2},
       {1, 1, 1, 1}, {1, 2, 3, 4}, 4},
      {"a scale of shape [1, F] serves F values", {3, 2}, {1, 2, 3, 5, -4, 4}, -1, 1e-5f, {1, 2},
       {3, 0.5f}, {}, 2},
      // epsilon is added after the division by L: 2 / 2 + 1, not (2 + 1) / 2.
      {"a large epsilon", {1, 2}, {1, 3}, -1, 1.0f, {2}, {1, 1}, {}, 2},
  };
  for (const NormCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Tensor x = Tensor::floats(c.shape, c.x);
    const Tensor scale = Tensor::floats(c.scale_shape, c.scale);
    const Tensor bias = Tensor::floats({c.bias.size()}, c.bias);
    Result<Outputs> result = run(x, &scale, c.bias.empty() ? nullptr : &bias, c.axis, c.epsilon);
    ASSERT_TRUE(result.ok()) << result.error().message;
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].shape, c.shape);
    const std::vector<float> expected = reference(c.x, c.length, c.scale, c.bias, c.epsilon);
    const std::vector<float>& actual = (*result)[0].f32;
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
      EXPECT_NEAR(actual[i], expected[i], 2e-6 * std::max(1.0f, std::fabs(expected[i])))
          << "element " << i;
    }
  }
}

// Bit for bit against the documented steps, one single-precision rounding at a
// time: the mean, the sum of squares, 1 / sqrt(q / L + epsilon), then the scale and
// the bias applied to (x - mean) * inv in that order.
TEST(LayerNormalization, FollowsTheDocumentedStepsExactly) {
  constexpr std::size_t kRows = 3, kLength = 7;
  const std::vector<float> xs = {0.3f,  -1.7f, 2.2f,  0.05f, -0.6f, 1.1f,  9.5f,
                                 0.9f,  0.4f,  -2.5f, 0.75f, 1.3f,  -0.2f, 0.01f,
                                 -3.1f, 7.7f,  0.33f, -0.9f, 4.4f,  -6.2f, 0.125f};
  const std::vector<float> scale = {1.1f, -0.7f, 0.3f, 2.5f, 0.9f, -1.3f, 0.45f};
  const std::vector<float> bias = {0.1f, -0.2f, 0.3f, 0.05f, -0.4f, 0.7f, -0.15f};
  const float epsilon = 0.01f;
  std::vector<float> expected;
  for (std::size_t row = 0; row < kRows; ++row) {
    const float* x = xs.data() + row * kLength;
    const float count = static_cast<float>(kLength);
    float s = -0.0f;
    for (std::size_t i = 0; i < kLength; ++i) s = s + x[i];
    const float mean = s / count;
    float q = -0.0f;
    for (std::size_t i = 0; i < kLength; ++i) {
      const float d = x[i] - mean;
      q = q + d * d;
    }
    const float inv = 1.0f / std::sqrt(q / count + epsilon);
    for (std::size_t i = 0; i < kLength; ++i) {
      expected.push_back(((x[i] - mean) * inv) * scale[i] + bias[i]);
    }
  }
  const Tensor x = Tensor::floats({kRows, kLength}, xs);
  const Tensor scale_tensor = Tensor::floats({kLength}, scale);
  const Tensor bias_tensor = Tensor::floats({kLength}, bias);
  Result<Outputs> result = run(x, &scale_tensor, &bias_tensor, -1, epsilon);
  ASSERT_TRUE(result.ok()) << result.error().message;
  const std::vector<float>& actual = (*result)[0].f32;
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(actual[i]), std::bit_cast<uint32_t>(expected[i]))
        << "element " << i << ": " << actual[i] << " against " << expected[i];
  }
}

TEST(LayerNormalization, IdenticalValuesGiveTheBiasExactly) {
  const Tensor x = Tensor::floats({2, 3}, {7, 7, 7, -2, -2, -2});
  const Tensor scale = Tensor::floats({3}, {5, 6, 7});
  const Tensor bias = Tensor::floats({3}, {0.5f, -1.25f, 3});
  Result<Outputs> with_bias = run(x, &scale, &bias, -1);
  ASSERT_TRUE(with_bias.ok());
  EXPECT_EQ((*with_bias)[0].f32, (std::vector<float>{0.5f, -1.25f, 3, 0.5f, -1.25f, 3}));
  Result<Outputs> without = run(x, &scale, nullptr, -1);
  ASSERT_TRUE(without.ok());
  EXPECT_EQ((*without)[0].f32, std::vector<float>(6, 0.0f));
}

TEST(LayerNormalization, AScalarGivesTheBias) {
  const Tensor x = Tensor::floats({}, {42});
  const Tensor scale = Tensor::floats({1}, {3});
  const Tensor bias = Tensor::floats({}, {-0.75f});
  Result<Outputs> result = run(x, &scale, &bias, 0);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ((*result)[0].shape, Shape{});
  EXPECT_EQ((*result)[0].f32, std::vector<float>{-0.75f});
}

// 1e8 + 1 rounds back to 1e8, so a single accumulator in index order finds the sum
// 0 and the mean 0; summing in lanes or pairs would keep the 1 and move the mean.
TEST(LayerNormalization, SumsInIndexOrderWithOneAccumulator) {
  std::vector<float> row(17, 0.0f);
  row[0] = 1e8f;
  row[1] = 1;
  row[8] = -1e8f;
  row[16] = 0;
  const Tensor x = Tensor::floats({1, 17}, row);
  const Tensor scale = Tensor::floats({17}, std::vector<float>(17, 1.0f));
  Result<Outputs> result = run(x, &scale, nullptr, -1);
  ASSERT_TRUE(result.ok());
  const std::vector<float>& y = (*result)[0].f32;
  for (const std::size_t i : {2, 3, 4, 5, 6, 7, 9, 10, 15, 16}) {
    EXPECT_EQ(y[i], 0.0f) << "element " << i;
  }
  EXPECT_GT(y[1], 0.0f);
  EXPECT_EQ(y[0], -y[8]);
}

TEST(LayerNormalization, EmptyLeadingAxisGivesAnEmptyOutput) {
  const Tensor x = Tensor::floats({0, 3}, {});
  const Tensor scale = Tensor::floats({3}, {1, 1, 1});
  Result<Outputs> result = run(x, &scale, nullptr, -1);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ((*result)[0].shape, (Shape{0, 3}));
  EXPECT_TRUE((*result)[0].f32.empty());
}

TEST(LayerNormalization, AnEmptyRunOfValuesIsAnInternalFault) {
  const Tensor x = Tensor::floats({3, 0}, {});
  const Tensor scale = Tensor::floats({0}, {});
  EXPECT_THROW((void)run(x, &scale, nullptr, -1), InternalFault);
}

TEST(LayerNormalization, ReportsFailuresInTheirOrder) {
  const Tensor x = Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor integers = Tensor::int64s({3}, {1, 2, 3});
  const Tensor scale3 = Tensor::floats({3}, {1, 1, 1});
  const Tensor scale4 = Tensor::floats({4}, {1, 1, 1, 1});
  const Tensor scale6 = Tensor::floats({2, 3}, {1, 1, 1, 1, 1, 1});
  struct Case {
    const char* name;
    std::vector<const Tensor*> inputs;
    int64_t axis;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no inputs", {}, -1, "input 0 is missing"},
      {"integer x before its axis", {&integers, &scale3}, 5, "int64 values where floats were expected"},
      {"axis past the rank before a missing scale", {&x}, 2, "axis 2 for rank 2"},
      {"negative axis shown as given", {&x, &scale3}, -3, "axis -3 for rank 2"},
      {"missing scale", {&x}, -1, "input 1 is missing"},
      {"absent scale", {&x, nullptr, &scale3}, -1, "input 1 is missing"},
      {"integer scale", {&x, &integers}, -1, "int64 values where floats were expected"},
      {"integer bias before sizes are compared", {&x, &scale4, &integers}, -1,
       "int64 values where floats were expected"},
      {"scale of the wrong size", {&x, &scale4}, -1,
       "LayerNormalization with a scale of the wrong size"},
      {"scale for a different axis", {&x, &scale6}, -1,
       "LayerNormalization with a scale of the wrong size"},
      {"bias of F + 1 values", {&x, &scale3, &scale4}, -1,
       "LayerNormalization with a scale of the wrong size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Outputs> result =
        layer_normalization_kernel(op::LayerNormalization{c.axis, 1e-5f}, c.inputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.message);
  }
}

TEST(LayerNormalization, IgnoresAnAbsentBias) {
  const Tensor x = Tensor::floats({1, 2}, {1, 3});
  const Tensor scale = Tensor::floats({2}, {1, 1});
  const Tensor* list[] = {&x, &scale, nullptr};
  Result<Outputs> result = layer_normalization_kernel(op::LayerNormalization{-1, 0.0f}, list);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ((*result)[0].f32, (std::vector<float>{-1, 1}));
}

}  // namespace
}  // namespace wd
