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

struct SumCase {
  const char* name;
  Tensor x;
  std::optional<Tensor> axes;
  bool keepdims;
  bool noop_with_empty_axes;
  Shape shape;
  std::vector<float> expected;
};

Result<Outputs> run(const Tensor& x, const std::optional<Tensor>& axes, bool keepdims,
                    bool noop) {
  const Tensor* list[] = {&x, axes ? &*axes : nullptr};
  return reduce_sum_kernel(op::ReduceSum{keepdims, noop}, list);
}

TEST(ReduceSum, SumsOverTheListedAxes) {
  const Tensor x = Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor x3 = Tensor::floats({2, 2, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const auto axes = [](std::vector<int64_t> values) {
    const uint64_t n = values.size();
    return Tensor::int64s({n}, std::move(values));
  };
  const std::vector<SumCase> cases = {
      {"last axis kept", x, axes({1}), true, false, {2, 1}, {6, 15}},
      {"last axis dropped", x, axes({1}), false, false, {2}, {6, 15}},
      {"first axis", x, axes({0}), true, false, {1, 3}, {5, 7, 9}},
      {"all axes, one negative", x, axes({0, -1}), true, false, {1, 1}, {21}},
      {"all axes dropped", x, axes({0, -1}), false, false, {}, {21}},
      {"an axis listed twice counts once", x, axes({1, -1}), false, false, {2}, {6, 15}},
      {"no axes input sums everything", x, std::nullopt, true, false, {1, 1}, {21}},
      {"no axes input, dropped", x, std::nullopt, false, false, {}, {21}},
      {"an empty axes input sums everything", x, Tensor::int64s({0}, {}), false, false, {}, {21}},
      {"no axes input with noop gives x", x, std::nullopt, false, true, {2, 3}, {1, 2, 3, 4, 5, 6}},
      {"empty axes with noop gives x", x, Tensor::int64s({0}, {}), true, true, {2, 3},
       {1, 2, 3, 4, 5, 6}},
      {"axes listed are used despite noop", x, axes({0}), false, true, {3}, {5, 7, 9}},
      {"axes given as a [1, 2] tensor", x3, Tensor::int64s({1, 2}, {0, 2}), true, false, {1, 2, 1},
       {1 + 2 + 3 + 7 + 8 + 9, 4 + 5 + 6 + 10 + 11 + 12}},
      {"middle axis", x3, axes({1}), false, false, {2, 3}, {5, 7, 9, 17, 19, 21}},
      {"zero rows summed give zeros", Tensor::floats({0, 3}, {}), axes({0}), true, false, {1, 3},
       {0, 0, 0}},
      {"summing along an empty axis", Tensor::floats({2, 0}, {}), axes({1}), false, false, {2},
       {0, 0}},
      {"keeping an empty axis", Tensor::floats({0, 3}, {}), axes({1}), true, false, {0, 1}, {}},
      {"a rank-0 x over axis 0", Tensor::floats({}, {2.5f}), axes({0}), true, false, {}, {2.5f}},
      {"a rank-0 x with no axes", Tensor::floats({}, {-3}), std::nullopt, false, false, {}, {-3}},
      {"infinities of both signs give NaN", Tensor::floats({3}, {kInf, 1, -kInf}), std::nullopt,
       false, false, {}, {std::numeric_limits<float>::quiet_NaN()}},
      // 1e8 + 1 rounds back to 1e8, so the element order decides the sum.
      {"the element order fixes the rounding", Tensor::floats({3}, {1e8f, 1, -1e8f}), axes({0}),
       false, false, {}, {0}},
      {"each column keeps its own order", Tensor::floats({3, 2}, {1e8f, -1e8f, 1, 1e8f, -1e8f, 1}),
       axes({0}), false, false, {2}, {0, 1}},
  };
  for (const SumCase& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Outputs> result = run(c.x, c.axes, c.keepdims, c.noop_with_empty_axes);
    ASSERT_TRUE(result.ok()) << result.error().message;
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].type, ElementType::F32);
    EXPECT_EQ((*result)[0].shape, c.shape);
    const std::vector<float>& actual = (*result)[0].f32;
    ASSERT_EQ(actual.size(), c.expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
      if (std::isnan(c.expected[i])) {
        EXPECT_TRUE(std::isnan(actual[i]));
      } else {
        EXPECT_EQ(actual[i], c.expected[i]) << "element " << i;
      }
    }
  }
}

TEST(ReduceSum, ReportsFailuresInTheirOrder) {
  const Tensor x = Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor integers = Tensor::int64s({2}, {1, 2});
  const Tensor float_axes = Tensor::floats({1}, {0});
  const Tensor axis_two = Tensor::int64s({1}, {2});
  const Tensor bad_second = Tensor::int64s({2}, {0, -3});
  struct Case {
    const char* name;
    std::vector<const Tensor*> inputs;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no inputs", {}, "input 0 is missing"},
      {"absent x", {nullptr, &axis_two}, "input 0 is missing"},
      {"integer x before bad axes", {&integers, &float_axes},
       "int64 values where floats were expected"},
      {"axes as floats", {&x, &float_axes}, "floats where int64 values were expected"},
      {"axis out of range", {&x, &axis_two}, "axis 2 for rank 2"},
      {"the first bad axis is reported as given", {&x, &bad_second}, "axis -3 for rank 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Outputs> result = reduce_sum_kernel(op::ReduceSum{true, true}, c.inputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.message);
  }
}

TEST(ReduceSum, ChecksFloatAxesEvenWhenTheyWouldBeANoop) {
  const Tensor x = Tensor::floats({2}, {1, 2});
  const Tensor empty_floats = Tensor::floats({0}, {});
  const Tensor* list[] = {&x, &empty_floats};
  Result<Outputs> result = reduce_sum_kernel(op::ReduceSum{true, true}, list);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "floats where int64 values were expected");
}

}  // namespace
}  // namespace wd
