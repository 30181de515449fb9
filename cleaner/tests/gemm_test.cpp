#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kernels.h"

namespace wd {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Values 1, 2, 3, ... scaled by `step`, for inputs whose every product and sum is
// exact in single precision, so that expected values do not depend on rounding.
std::vector<float> counting(uint64_t count, float step = 1.0f, float start = 1.0f) {
  std::vector<float> values(count);
  for (uint64_t i = 0; i < count; ++i) values[i] = (start + static_cast<float>(i)) * step;
  return values;
}

Tensor floats(Shape shape, std::vector<float> data) {
  return Tensor::floats(std::move(shape), std::move(data));
}

// Row-major product of an m x k and a k x n matrix given as flat lists, summed in
// double: exact for the small integers these tests use.
std::vector<float> plain_product(const std::vector<float>& a, const std::vector<float>& b,
                                 uint64_t m, uint64_t k, uint64_t n) {
  std::vector<float> out(m * n);
  for (uint64_t i = 0; i < m; ++i) {
    for (uint64_t j = 0; j < n; ++j) {
      double sum = 0;
      for (uint64_t p = 0; p < k; ++p) sum += double(a[i * k + p]) * double(b[p * n + j]);
      out[i * n + j] = static_cast<float>(sum);
    }
  }
  return out;
}

std::vector<float> transposed(const std::vector<float>& x, uint64_t rows, uint64_t cols) {
  std::vector<float> out(x.size());
  for (uint64_t i = 0; i < rows; ++i) {
    for (uint64_t j = 0; j < cols; ++j) out[j * rows + i] = x[i * cols + j];
  }
  return out;
}

void expect_tensor(const Result<Outputs>& result, const Shape& shape,
                   const std::vector<float>& expected) {
  ASSERT_TRUE(result.ok()) << result.error().message;
  ASSERT_EQ(result->size(), 1u);
  const Tensor& y = (*result)[0];
  EXPECT_EQ(y.type, ElementType::F32);
  EXPECT_EQ(y.shape, shape);
  ASSERT_EQ(y.f32.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(std::isnan(y.f32[i])) << "element " << i;
    } else {
      EXPECT_EQ(y.f32[i], expected[i]) << "element " << i;
    }
  }
}

void expect_failure(const Result<Outputs>& result, const std::string& message) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, message);
}

Result<Outputs> gemm(const op::Gemm& params, const std::vector<const Tensor*>& inputs) {
  return gemm_kernel(params, inputs);
}

Result<Outputs> matmul(const Tensor& a, const Tensor& b) {
  const Tensor* list[] = {&a, &b};
  return matmul_kernel(op::MatMul{}, list);
}

// A is 2 x 3, B is 3 x 4 throughout; their product P is computed by plain_product.
const std::vector<float> kA = counting(6);
const std::vector<float> kB = counting(12, 0.5f);
const std::vector<float> kP = plain_product(kA, kB, 2, 3, 4);

std::vector<float> with_bias(const std::vector<float>& p, uint64_t n,
                             float (*bias)(uint64_t i, uint64_t j)) {
  std::vector<float> out(p);
  for (uint64_t e = 0; e < p.size(); ++e) out[e] = p[e] + bias(e / n, e % n);
  return out;
}

std::vector<float> scaled(const std::vector<float>& p, float factor) {
  std::vector<float> out(p);
  for (float& v : out) v *= factor;
  return out;
}

TEST(Gemm, ProductWithScalingAndBroadcastBias) {
  const Tensor a = floats({2, 3}, kA);
  const Tensor b = floats({3, 4}, kB);
  const Tensor a_t = floats({3, 2}, transposed(kA, 2, 3));
  const Tensor b_t = floats({4, 3}, transposed(kB, 3, 4));
  const Tensor row = floats({4}, {10, 20, 30, 40});
  const Tensor column = floats({2, 1}, {100, 200});
  const Tensor scalar = floats({}, {7});
  const Tensor full = floats({2, 4}, counting(8, 1000));
  struct Case {
    const char* name;
    op::Gemm params;
    std::vector<const Tensor*> inputs;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"plain product", {}, {&a, &b}, kP},
      {"absent bias entry", {}, {&a, &b, nullptr}, kP},
      {"alpha 2 doubles every element", {2.0f, 1.0f, false, false}, {&a, &b}, scaled(kP, 2)},
      {"transA of the transposed values", {1.0f, 1.0f, true, false}, {&a_t, &b}, kP},
      {"transB of the transposed values", {1.0f, 1.0f, false, true}, {&a, &b_t}, kP},
      {"both transposed", {1.0f, 1.0f, true, true}, {&a_t, &b_t}, kP},
      {"bias row [N] on every row", {}, {&a, &b, &row},
       with_bias(kP, 4, [](uint64_t, uint64_t j) { return 10.0f * float(j + 1); })},
      {"bias [M, 1] per row", {}, {&a, &b, &column},
       with_bias(kP, 4, [](uint64_t i, uint64_t) { return 100.0f * float(i + 1); })},
      {"scalar bias everywhere", {}, {&a, &b, &scalar},
       with_bias(kP, 4, [](uint64_t, uint64_t) { return 7.0f; })},
      {"beta scales the bias", {1.0f, 0.5f, false, false}, {&a, &b, &full},
       with_bias(kP, 4, [](uint64_t i, uint64_t j) { return 500.0f * float(i * 4 + j + 1); })},
      {"alpha scales the product, not the bias", {3.0f, 1.0f, false, false}, {&a, &b, &scalar},
       with_bias(scaled(kP, 3), 4, [](uint64_t, uint64_t) { return 7.0f; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_tensor(gemm(c.params, c.inputs), {2, 4}, c.expected);
  }
}

// 1 + 2^-24 rounds to 1 (a tie, to even) under either rounding rule, and 1 * 3 = 3.
// Scaling each term first would give 3 + 3 * 2^-24, which rounds up to 3 + 2^-22.
TEST(Gemm, AlphaScalesTheFinishedSum) {
  const Tensor a = floats({1, 2}, {1.0f, 1.0f});
  const Tensor b = floats({2, 1}, {1.0f, std::ldexp(1.0f, -24)});
  expect_tensor(gemm({3.0f, 1.0f, false, false}, {&a, &b}), {1, 1}, {3.0f});
}

TEST(Gemm, BetaZeroStillMultipliesTheBias) {
  const Tensor a = floats({1, 2}, {1, 2});
  const Tensor b = floats({2, 2}, {1, 0, 0, 1});
  const Tensor c = floats({2}, {kInf, 5});
  expect_tensor(gemm({1.0f, 0.0f, false, false}, {&a, &b, &c}), {1, 2},
                {std::nanf(""), 2.0f});
}

TEST(Gemm, EmptySizes) {
  const Tensor a_k0 = floats({2, 0}, {});
  const Tensor b_k0 = floats({0, 3}, {});
  const Tensor bias = floats({3}, {1, 2, 3});
  expect_tensor(gemm({}, {&a_k0, &b_k0}), {2, 3}, std::vector<float>(6, 0.0f));
  expect_tensor(gemm({}, {&a_k0, &b_k0, &bias}), {2, 3}, {1, 2, 3, 1, 2, 3});
  const Tensor a_m0 = floats({0, 2}, {});
  const Tensor b = floats({2, 3}, counting(6));
  expect_tensor(gemm({}, {&a_m0, &b}), {0, 3}, {});
}

TEST(Gemm, Failures) {
  const Tensor a = floats({2, 3}, kA);
  const Tensor b = floats({3, 4}, kB);
  const Tensor ints = Tensor::int64s({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor rank3 = floats({1, 2, 3}, kA);
  const Tensor vector = floats({3}, {1, 2, 3});
  const Tensor b_short = floats({2, 4}, counting(8));
  const Tensor bias_3d = floats({1, 2, 4}, counting(8));
  const Tensor bias_3 = floats({3}, {1, 2, 3});
  const Tensor bias_rows = floats({4, 4}, counting(16));
  const Tensor a_row = floats({1, 3}, counting(3));
  const Tensor bias_two_rows = floats({2, 4}, counting(8));
  const Tensor empty_a = floats({1u << 20, 0}, {});
  const Tensor empty_b = floats({0, 1u << 20}, {});
  const op::Gemm trans_a{1.0f, 1.0f, true, false};
  struct Case {
    const char* name;
    op::Gemm params;
    std::vector<const Tensor*> inputs;
    std::string message;
  };
  const Case cases[] = {
      {"no inputs", {}, {}, "input 0 is missing"},
      {"absent A", {}, {nullptr, &b}, "input 0 is missing"},
      {"B missing", {}, {&a}, "input 1 is missing"},
      {"int64 A", {}, {&ints, &b}, "int64 values where floats were expected"},
      {"int64 B", {}, {&a, &ints}, "int64 values where floats were expected"},
      {"int64 bias", {}, {&a, &b, &ints}, "int64 values where floats were expected"},
      {"A with three axes, before any transposition", trans_a, {&rank3, &b},
       "Gemm of something other than matrices"},
      {"B a vector", {}, {&a, &vector}, "Gemm of something other than matrices"},
      {"inner sizes differ", {}, {&a, &b_short}, "Gemm with mismatched sizes"},
      {"transA makes the inner sizes differ", trans_a, {&a, &b}, "Gemm with mismatched sizes"},
      {"bias with more axes", {}, {&a, &b, &bias_3d}, "Gemm with a bias larger than its output"},
      {"bias with a larger dimension", {}, {&a_row, &b, &bias_two_rows},
       "Gemm with a bias larger than its output"},
      {"bias with a dimension that does not broadcast", {}, {&a, &b, &bias_rows},
       "[2, 4] and [4, 4] do not broadcast"},
      {"bias that does not broadcast", {}, {&a, &b, &bias_3}, "[2, 4] and [3] do not broadcast"},
      {"output too large", {}, {&empty_a, &empty_b}, "[1048576, 1048576] holds too many values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_failure(gemm(c.params, c.inputs), c.message);
  }
}

// Batched product: every output matrix is the plain product of the A and B batch
// matrices that broadcasting maps to it.
TEST(MatMul, BroadcastsBatchDimensions) {
  struct Case {
    Shape a, b, out;
  };
  const Case cases[] = {
      {{3, 4}, {4, 5}, {3, 5}},
      {{2, 3, 4}, {4, 5}, {2, 3, 5}},
      {{4, 5}, {2, 5, 3}, {2, 4, 3}},
      {{2, 1, 3, 4}, {5, 4, 6}, {2, 5, 3, 6}},
      {{3, 1, 2, 2}, {1, 4, 2, 3}, {3, 4, 2, 3}},
      {{1, 2, 2}, {2, 2, 3}, {2, 2, 3}},
      {{2, 0, 4}, {4, 5}, {2, 0, 5}},
      {{2, 3, 0}, {2, 0, 5}, {2, 3, 5}},
      {{0, 3, 4}, {1, 4, 5}, {0, 3, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(shape_text(c.a) + " x " + shape_text(c.b));
    const uint64_t m = c.a[c.a.size() - 2], k = c.a.back(), n = c.b.back();
    const Tensor a = floats(c.a, counting(element_count(c.a), 1.0f, -5.0f));
    const Tensor b = floats(c.b, counting(element_count(c.b), 0.25f, -9.0f));
    // The batch index of each operand for output position (batch indices) is found by
    // reducing each padded index modulo the operand's own size.
    const Shape out_batch(c.out.begin(), c.out.end() - 2);
    auto own_batch = [&](const Shape& shape, const std::vector<uint64_t>& index) {
      const Shape own(shape.begin(), shape.end() - 2);
      uint64_t flat = 0;
      for (uint64_t axis = 0; axis < own.size(); ++axis) {
        const uint64_t padded = axis + out_batch.size() - own.size();
        flat = flat * own[axis] + (own[axis] == 1 ? 0 : index[padded]);
      }
      return flat;
    };
    std::vector<float> expected;
    std::vector<uint64_t> index(out_batch.size(), 0);
    for (uint64_t q = 0; q < element_count(out_batch); ++q) {
      uint64_t rest = q;
      for (uint64_t axis = out_batch.size(); axis-- > 0;) {
        index[axis] = rest % out_batch[axis];
        rest /= out_batch[axis];
      }
      const uint64_t ia = own_batch(c.a, index), ib = own_batch(c.b, index);
      const std::vector<float> am(a.f32.begin() + ia * m * k, a.f32.begin() + (ia + 1) * m * k);
      const std::vector<float> bm(b.f32.begin() + ib * k * n, b.f32.begin() + (ib + 1) * k * n);
      const std::vector<float> product = plain_product(am, bm, m, k, n);
      expected.insert(expected.end(), product.begin(), product.end());
    }
    expect_tensor(matmul(a, b), c.out, expected);
  }
}

TEST(MatMul, SharedBatchMatrixByHand) {
  // [2, 1, 2] x [2, 2]: each batch row times the same B.
  const Tensor a = floats({2, 1, 2}, {1, 2, 3, 4});
  const Tensor b = floats({2, 2}, {5, 6, 7, 8});
  expect_tensor(matmul(a, b), {2, 1, 2}, {19, 22, 43, 50});
}

// An empty output over a batch of 2^28 positions is returned at once, without a
// walk over the positions or anything sized by them.
TEST(MatMul, EmptyOutputOverAHugeBatch) {
  const Tensor a = floats({1u << 14, 1u << 14, 0, 4}, {});
  const Tensor b = floats({4, 0}, {});
  expect_tensor(matmul(a, b), {1u << 14, 1u << 14, 0, 0}, {});
}

TEST(MatMul, Failures) {
  const Tensor m34 = floats({3, 4}, counting(12));
  const Tensor m56 = floats({5, 6}, counting(30));
  const Tensor v4 = floats({4}, counting(4));
  const Tensor b234 = floats({2, 3, 4}, counting(24));
  const Tensor b345 = floats({3, 4, 5}, counting(60));
  const Tensor ints = Tensor::int64s({4, 5}, std::vector<int64_t>(20, 1));
  const Tensor empty_a = floats({1, 1u << 20, 0}, {});
  const Tensor empty_b = floats({0, 1u << 20}, {});
  struct Case {
    const char* name;
    std::vector<const Tensor*> inputs;
    std::string message;
  };
  const Case cases[] = {
      {"no inputs", {}, "input 0 is missing"},
      {"B absent", {&m34, nullptr}, "input 1 is missing"},
      {"int64 A", {&ints, &m34}, "int64 values where floats were expected"},
      {"int64 B", {&m34, &ints}, "int64 values where floats were expected"},
      {"vector A", {&v4, &m34}, "MatMul of a vector"},
      {"vector B", {&m34, &v4}, "MatMul of a vector"},
      {"inner sizes differ", {&m34, &m56}, "MatMul of [3, 4] and [5, 6]"},
      {"batches do not broadcast", {&b234, &b345}, "[2] and [3] do not broadcast"},
      {"output too large", {&empty_a, &empty_b}, "[1, 1048576, 1048576] holds too many values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_failure(matmul_kernel(op::MatMul{}, c.inputs), c.message);
  }
}

// [2^14, 2^7] by [2^7, 2^14]: the output holds exactly the element bound, but it
// needs 2^35 multiply-adds, twice the bound of one operation, and is refused before
// anything is allocated or computed. A larger output keeps its own refusal.
TEST(ProductWork, RefusesProductsThatNeedTooMuchWork) {
  constexpr uint64_t kRows = uint64_t{1} << 14;
  constexpr uint64_t kInner = uint64_t{1} << 7;
  const Tensor tall = floats({kRows, kInner}, std::vector<float>(kRows * kInner, 1.0f));
  const Tensor wide = floats({kInner, kRows}, std::vector<float>(kInner * kRows, 1.0f));
  const Tensor batched = floats({4, kRows / 4, kInner}, std::vector<float>(kRows * kInner, 1.0f));
  const Tensor taller = floats({2 * kRows, kInner}, std::vector<float>(2 * kRows * kInner, 1.0f));
  expect_failure(gemm(op::Gemm{}, {&tall, &wide}), "Gemm needs too much work");
  expect_failure(gemm(op::Gemm{1.0f, 1.0f, true, false}, {&wide, &wide}),
                 "Gemm needs too much work");
  expect_failure(matmul(tall, wide), "MatMul needs too much work");
  // Four batch positions of a quarter of the rows each: the same work.
  expect_failure(matmul(batched, wide), "MatMul needs too much work");
  expect_failure(gemm(op::Gemm{}, {&taller, &wide}), "[32768, 16384] holds too many values");
  expect_failure(matmul(taller, wide), "[32768, 16384] holds too many values");
}

}  // namespace
}  // namespace wd
