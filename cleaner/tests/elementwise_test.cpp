#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernels.h"

namespace wd {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Equal bit for bit, except that any NaN matches any NaN.
void expect_same_values(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(std::isnan(actual[i])) << "element " << i << " is " << actual[i];
    } else {
      EXPECT_EQ(actual[i], expected[i]) << "element " << i;
      EXPECT_EQ(std::signbit(actual[i]), std::signbit(expected[i])) << "sign of element " << i;
    }
  }
}

Result<Outputs> run_unary(UnaryFunction function, const Tensor& x) {
  const Tensor* list[] = {&x};
  return unary_kernel(op::Unary{function}, list);
}

// The kernel on a copy of X that it may take over, as the executor offers a value
// nothing reads afterwards: the result is then written over X's own values.
Result<Outputs> run_unary_over_x(UnaryFunction function, const Tensor& x) {
  Tensor expiring = x;
  const Tensor* list[] = {&expiring};
  return unary_kernel(op::Unary{function}, list, &expiring);
}

struct UnaryCase {
  const char* name;
  UnaryFunction function;
  std::vector<float> x;
  std::vector<float> expected;
};

TEST(Unary, AppliesEachFunctionElementByElement) {
  const std::vector<UnaryCase> cases = {
      {"identity keeps NaN, infinities and the sign of zero", UnaryFunction::Identity,
       {1.5f, -0.0f, kInf, -kInf, kNaN}, {1.5f, -0.0f, kInf, -kInf, kNaN}},
      {"relu of a NaN is 0", UnaryFunction::Relu, {-1, 0, 2, kNaN}, {0, 0, 2, 0}},
      {"relu over more than one block with a tail", UnaryFunction::Relu,
       {-1, 3, kNaN, -0.0f, kInf, -kInf, 0.25f, -7, kNaN, 9, -2},
       {0, 3, 0, 0, kInf, 0, 0.25f, 0, 0, 9, 0}},
      {"sigmoid", UnaryFunction::Sigmoid, {0, -100, 100, -kInf, kInf, kNaN},
       {0.5f, 0, 1, 0, 1, kNaN}},
      {"tanh", UnaryFunction::Tanh, {0, -0.0f, kInf, -kInf, 30, kNaN}, {0, -0.0f, 1, -1, 1, kNaN}},
      {"sqrt over more than one block with a tail", UnaryFunction::Sqrt,
       {4, 9, -1, 0, -0.0f, kInf, 2.25f, -kInf, kNaN, 0.0625f, 16},
       {2, 3, kNaN, 0, -0.0f, kInf, 1.5f, kNaN, kNaN, 0.25f, 4}},
      {"log", UnaryFunction::Log, {1, 0, -0.0f, -1, kInf, kNaN}, {0, -kInf, -kInf, kNaN, kInf, kNaN}},
  };
  for (const UnaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Tensor x = Tensor::floats({c.x.size()}, c.x);
    for (const auto run : {run_unary, run_unary_over_x}) {
      Result<Outputs> result = run(c.function, x);
      ASSERT_TRUE(result.ok()) << result.error().message;
      ASSERT_EQ(result->size(), 1u);
      EXPECT_EQ((*result)[0].type, ElementType::F32);
      EXPECT_EQ((*result)[0].shape, x.shape);
      expect_same_values((*result)[0].f32, c.expected);
    }
  }
}

// More than two blocks of the batched exponential, with inputs whose exponentials lie
// near a rounding tie (+-2^-24, +-2^-25) or out of its vector range (+-88.5).
TEST(Unary, SigmoidAndTanhAndLogMatchTheMathLibrary) {
  const std::vector<float> x = {-3.5f,    -0.75f,    0.1f,     1.0f,      2.5f,  17.0f,  0.003f,
                                0x1p-24f, -0x1p-24f, 0x1p-25f, -0x1p-25f, 88.5f, -88.5f, -0.0f,
                                -40.0f,   6.25f,     -17.5f,   0.5f,      kNaN};
  const Tensor tensor = Tensor::floats({x.size()}, x);
  std::vector<float> sigmoid, tanh, log;
  for (const float v : x) {
    sigmoid.push_back(1.0f / (std::exp(-v) + 1.0f));
    tanh.push_back(std::tanh(v));
    log.push_back(std::log(v));
  }
  Result<Outputs> s = run_unary(UnaryFunction::Sigmoid, tensor);
  Result<Outputs> t = run_unary(UnaryFunction::Tanh, tensor);
  Result<Outputs> l = run_unary(UnaryFunction::Log, tensor);
  ASSERT_TRUE(s.ok() && t.ok() && l.ok());
  expect_same_values((*s)[0].f32, sigmoid);
  expect_same_values((*t)[0].f32, tanh);
  expect_same_values((*l)[0].f32, log);
}

TEST(Unary, KeepsTheShapeOfRankZeroAndEmptyTensors) {
  const Tensor scalar = Tensor::floats({}, {-4});
  Result<Outputs> relu = run_unary(UnaryFunction::Relu, scalar);
  ASSERT_TRUE(relu.ok());
  EXPECT_EQ((*relu)[0].shape, Shape{});
  expect_same_values((*relu)[0].f32, {0});

  const Tensor empty = Tensor::floats({2, 0, 3}, {});
  Result<Outputs> sqrt = run_unary(UnaryFunction::Sqrt, empty);
  ASSERT_TRUE(sqrt.ok());
  EXPECT_EQ((*sqrt)[0].shape, (Shape{2, 0, 3}));
  EXPECT_TRUE((*sqrt)[0].f32.empty());
}

TEST(Unary, RefusesMissingAndIntegerInputs) {
  const Tensor integers = Tensor::int64s({2}, {1, 2});
  for (const UnaryFunction function : {UnaryFunction::Identity, UnaryFunction::Relu}) {
    Result<Outputs> result = run_unary(function, integers);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "int64 values where floats were expected");
  }
  const Tensor* absent[] = {nullptr};
  Result<Outputs> missing = unary_kernel(op::Unary{UnaryFunction::Tanh}, absent);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "input 0 is missing");
  Result<Outputs> none = unary_kernel(op::Unary{UnaryFunction::Tanh}, {});
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().message, "input 0 is missing");
}

struct ArithmeticCase {
  const char* name;
  BinaryFunction function;
  Tensor a;
  Tensor b;
  Shape shape;
  std::vector<float> expected;
};

Result<Outputs> run_arithmetic(BinaryFunction function, const Tensor& a, const Tensor& b) {
  const Tensor* list[] = {&a, &b};
  return arithmetic_kernel(op::Arithmetic{function}, list);
}

// The kernel on a copy of A that it may take over: a result of A's shape is then
// written over A's own values.
Result<Outputs> run_arithmetic_over_a(BinaryFunction function, const Tensor& a, const Tensor& b) {
  Tensor expiring = a;
  const Tensor* list[] = {&expiring, &b};
  return arithmetic_kernel(op::Arithmetic{function}, list, &expiring);
}

TEST(Arithmetic, CombinesUnderBroadcasting) {
  const std::vector<ArithmeticCase> cases = {
      {"add of equal shapes", BinaryFunction::Add, Tensor::floats({2, 2}, {1, 2, 3, 4}),
       Tensor::floats({2, 2}, {10, 20, kInf, kNaN}), {2, 2}, {11, 22, kInf, kNaN}},
      {"infinities of opposite signs add to NaN", BinaryFunction::Add,
       Tensor::floats({2}, {kInf, -kInf}), Tensor::floats({2}, {-kInf, -kInf}), {2},
       {kNaN, -kInf}},
      {"sub with a scalar second", BinaryFunction::Sub, Tensor::floats({2}, {5, 7}),
       Tensor::floats({}, {1}), {2}, {4, 6}},
      {"sub with a scalar first", BinaryFunction::Sub, Tensor::floats({}, {1}),
       Tensor::floats({2}, {5, 7}), {2}, {-4, -6}},
      {"mul of an infinity by 0 is NaN", BinaryFunction::Mul, Tensor::floats({3}, {kInf, 2, -3}),
       Tensor::floats({3}, {0, -0.5f, 0}), {3}, {kNaN, -1, -0.0f}},
      {"div by zeros", BinaryFunction::Div, Tensor::floats({4}, {1, -1, 0, 1}),
       Tensor::floats({4}, {0, 0, 0, -0.0f}), {4}, {kInf, -kInf, kNaN, -kInf}},
      {"pow", BinaryFunction::Pow, Tensor::floats({4}, {-3, 4, -8, 2}),
       Tensor::floats({4}, {2, 0.5f, 1.0f / 3.0f, -1}), {4}, {9, 2, kNaN, 0.5f}},
      {"pow by 2 is a square, also of infinities and NaN", BinaryFunction::Pow,
       Tensor::floats({3}, {-kInf, kNaN, 1e20f}), Tensor::floats({}, {2}), {3}, {kInf, kNaN, kInf}},
      {"rows against a column", BinaryFunction::Sub, Tensor::floats({2, 1}, {10, 20}),
       Tensor::floats({3}, {1, 2, 3}), {2, 3}, {9, 8, 7, 19, 18, 17}},
      {"rows against a column of their own count, over more than one block",
       BinaryFunction::Div,
       Tensor::floats({2, 9}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}),
       Tensor::floats({2, 1}, {2, 4}), {2, 9},
       {0.5f, 1, 1.5f, 2, 2.5f, 3, 3.5f, 4, 4.5f, 2.5f, 2.75f, 3, 3.25f, 3.5f, 3.75f, 4, 4.25f,
        4.5f}},
      {"both operands broadcast", BinaryFunction::Div, Tensor::floats({2, 1, 3}, {2, 4, 6, 8, 10, 12}),
       Tensor::floats({2, 1}, {1, 2}), {2, 2, 3}, {2, 4, 6, 1, 2, 3, 8, 10, 12, 4, 5, 6}},
      {"single value of a higher rank takes the broadcast shape", BinaryFunction::Add,
       Tensor::floats({3}, {1, 2, 3}), Tensor::floats({1, 1}, {10}), {1, 3}, {11, 12, 13}},
      {"zero against one gives an empty result", BinaryFunction::Add, Tensor::floats({0, 3}, {}),
       Tensor::floats({1, 3}, {1, 2, 3}), {0, 3}, {}},
  };
  for (const ArithmeticCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto run : {run_arithmetic, run_arithmetic_over_a}) {
      Result<Outputs> result = run(c.function, c.a, c.b);
      ASSERT_TRUE(result.ok()) << result.error().message;
      ASSERT_EQ(result->size(), 1u);
      EXPECT_EQ((*result)[0].shape, c.shape);
      expect_same_values((*result)[0].f32, c.expected);
    }
  }
}

TEST(Arithmetic, PowOtherThanSquareMatchesTheMathLibrary) {
  const std::vector<float> a = {1.7f, 0.3f, 9.5f, 2.0f};
  const std::vector<float> b = {3.0f, -1.5f, 0.37f, 10.0f};
  std::vector<float> expected;
  for (std::size_t i = 0; i < a.size(); ++i) expected.push_back(std::pow(a[i], b[i]));
  Result<Outputs> result =
      run_arithmetic(BinaryFunction::Pow, Tensor::floats({4}, a), Tensor::floats({4}, b));
  ASSERT_TRUE(result.ok());
  expect_same_values((*result)[0].f32, expected);
}

TEST(Arithmetic, ReportsFailuresInTheirOrder) {
  const Tensor floats = Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor other = Tensor::floats({3, 2}, {1, 2, 3, 4, 5, 6});
  const Tensor integers = Tensor::int64s({1}, {1});
  struct Case {
    const char* name;
    std::vector<const Tensor*> inputs;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no inputs", {}, "input 0 is missing"},
      {"absent first", {nullptr, &integers}, "input 0 is missing"},
      {"integer first before a missing second", {&integers}, "int64 values where floats were expected"},
      {"second absent", {&floats, nullptr}, "input 1 is missing"},
      {"second beyond the list", {&floats}, "input 1 is missing"},
      {"integer second", {&floats, &integers}, "int64 values where floats were expected"},
      {"shapes that do not broadcast", {&floats, &other}, "[2, 3] and [3, 2] do not broadcast"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Outputs> result = arithmetic_kernel(op::Arithmetic{BinaryFunction::Add}, c.inputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.message);
  }
}

TEST(Arithmetic, IgnoresInputsBeyondTheSecond) {
  const Tensor a = Tensor::floats({1}, {3});
  const Tensor b = Tensor::floats({1}, {4});
  const Tensor integers = Tensor::int64s({1}, {1});
  const Tensor* list[] = {&a, &b, &integers};
  Result<Outputs> result = arithmetic_kernel(op::Arithmetic{BinaryFunction::Mul}, list);
  ASSERT_TRUE(result.ok());
  expect_same_values((*result)[0].f32, {12});
}

TEST(Arithmetic, RefusesABroadcastResultBeyondTheElementLimit) {
  const Tensor column = Tensor::floats({65536, 1}, std::vector<float>(65536, 1.0f));
  const Tensor row = Tensor::floats({1, 65536}, std::vector<float>(65536, 1.0f));
  Result<Outputs> result = run_arithmetic(BinaryFunction::Add, column, row);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().message.find("[65536, 65536]"), std::string::npos)
      << result.error().message;
}

}  // namespace
}  // namespace wd
