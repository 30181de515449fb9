#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <variant>

#include "executor.h"
#include "kernels.h"

namespace wd {
namespace {

// A float tensor holding 0, 1, 2, ... in row-major order, so that every output
// element names the input position it came from.
Tensor iota(Shape shape) {
  std::vector<float> data(element_count(shape));
  std::iota(data.begin(), data.end(), 0.0f);
  return Tensor::floats(std::move(shape), std::move(data));
}

Tensor ints(std::vector<int64_t> values) {
  const uint64_t n = values.size();
  return Tensor::int64s({n}, std::move(values));
}

FloatView view(const Tensor& t) { return FloatView{&t.shape, t.f32}; }

// Either the tensors a kernel should give, or its failure message.
struct Expected {
  std::vector<Tensor> tensors;
  std::string failure;
};

Expected gives(Shape shape, std::vector<float> data) {
  Expected e;
  e.tensors.push_back(Tensor::floats(std::move(shape), std::move(data)));
  return e;
}

Expected gives_all(std::vector<Tensor> tensors) { return Expected{std::move(tensors), ""}; }

Expected fails(std::string message) { return Expected{{}, std::move(message)}; }

// Optional inputs are written as std::nullopt.
using InputList = std::vector<std::optional<Tensor>>;

Result<Outputs> run(const OpKind& kind, const InputList& list) {
  std::vector<const Tensor*> pointers;
  for (const std::optional<Tensor>& entry : list) pointers.push_back(entry ? &*entry : nullptr);
  return evaluate_op(kind, pointers);
}

void check(const Result<Outputs>& got, const Expected& expected) {
  if (!expected.failure.empty()) {
    ASSERT_FALSE(got.ok()) << "expected failure: " << expected.failure;
    EXPECT_EQ(got.error().message, expected.failure);
    return;
  }
  ASSERT_TRUE(got.ok()) << got.error().message;
  ASSERT_EQ(got->size(), expected.tensors.size());
  for (std::size_t k = 0; k < got->size(); ++k) {
    SCOPED_TRACE("output " + std::to_string(k));
    const Tensor& tensor = (*got)[k];
    EXPECT_EQ(tensor.type, ElementType::F32);
    EXPECT_EQ(shape_text(tensor.shape), shape_text(expected.tensors[k].shape));
    EXPECT_EQ(tensor.f32, expected.tensors[k].f32);
    EXPECT_TRUE(tensor.i64.empty());
  }
}

struct Case {
  const char* name;
  OpKind kind;
  InputList inputs;
  Expected expected;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    check(run(c.kind, c.inputs), c.expected);
  }
}

constexpr int64_t kMin = INT64_MIN;
constexpr int64_t kMax = INT64_MAX;

TEST(Reshape, Cases) {
  const op::Reshape plain;
  const op::Reshape allowzero{true};
  const std::vector<float> six = {0, 1, 2, 3, 4, 5};
  run_cases({
      {"inferred last", plain, {iota({2, 3}), ints({3, -1})}, gives({3, 2}, six)},
      {"copied and inferred", plain, {iota({2, 3}), ints({0, -1})}, gives({2, 3}, six)},
      {"inferred first", plain, {iota({2, 3}), ints({-1})}, gives({6}, six)},
      {"to rank 0", plain, {iota({1, 1}), ints({})}, gives({}, {0})},
      {"allowzero keeps a zero", allowzero, {iota({0, 6}), ints({0, 6})}, gives({0, 6}, {})},
      {"two inferred", plain, {iota({2, 3}), ints({-1, -1})}, fails("Reshape to a malformed shape")},
      {"negative size", plain, {iota({2, 3}), ints({-2, -3})}, fails("Reshape to a malformed shape")},
      {"no divisor", plain, {iota({2, 3}), ints({4, -1})}, fails("Reshape cannot infer a dimension")},
      {"zero divisor", allowzero, {iota({2, 3}), ints({0, -1})},
       fails("Reshape cannot infer a dimension")},
      {"counts differ", plain, {iota({2, 3}), ints({4, 2})}, fails("Reshape of [2, 3] to [4, 2]")},
      {"copied size shown", plain, {iota({2, 3}), ints({0, 2})}, fails("Reshape of [2, 3] to [2, 2]")},
      {"allowzero zero", allowzero, {iota({2, 3}), ints({0, 6})}, fails("Reshape of [2, 3] to [0, 6]")},
      {"to rank 0 from six", plain, {iota({2, 3}), ints({})}, fails("Reshape of [2, 3] to []")},
      {"copy beyond the rank", plain, {iota({2, 3}), ints({6, 1, 0})},
       fails("Reshape copies a missing dimension")},
      // The product of these sizes wraps to exactly 6 in 64 bits.
      {"product past 64 bits", plain,
       {iota({2, 3}), ints({3, 2, 4294967297, 9223372032559808513})},
       fails("Reshape of [2, 3] to [3, 2, 4294967297, 9223372032559808513]")},
      // ... and these to 2, which would divide 6.
      {"divisor past 64 bits", plain,
       {iota({2, 3}), ints({-1, 2, 4294967297, 9223372032559808513})},
       fails("Reshape cannot infer a dimension")},
      {"empty data to huge sizes", plain, {iota({0}), ints({-1, 1099511627776})},
       fails("[0, 1099511627776] holds too many values")},
      {"float shape", plain, {iota({2, 3}), iota({2})},
       fails("floats where int64 values were expected")},
      {"shape missing", plain, {iota({2, 3})}, fails("input 1 is missing")},
  });
}

// Reference transpose of a rank-3 tensor written as plain index arithmetic.
std::vector<float> transposed3(const Shape& in, const std::array<uint64_t, 3>& p) {
  const Shape out = {in[p[0]], in[p[1]], in[p[2]]};
  std::vector<float> data;
  for (uint64_t i = 0; i < out[0]; ++i) {
    for (uint64_t j = 0; j < out[1]; ++j) {
      for (uint64_t k = 0; k < out[2]; ++k) {
        uint64_t index[3];
        index[p[0]] = i;
        index[p[1]] = j;
        index[p[2]] = k;
        data.push_back(static_cast<float>((index[0] * in[1] + index[1]) * in[2] + index[2]));
      }
    }
  }
  return data;
}

TEST(Transpose, Cases) {
  using Perm = std::optional<std::vector<int64_t>>;
  const Shape s = {2, 3, 4};
  run_cases({
      {"reversed by default", op::Transpose{}, {iota(s)}, gives({4, 3, 2}, transposed3(s, {2, 1, 0}))},
      {"last two", op::Transpose{Perm({0, 2, 1})}, {iota(s)}, gives({2, 4, 3}, transposed3(s, {0, 2, 1}))},
      {"rotation", op::Transpose{Perm({1, 2, 0})}, {iota(s)}, gives({3, 4, 2}, transposed3(s, {1, 2, 0}))},
      {"identity", op::Transpose{Perm({0, 1, 2})}, {iota(s)}, gives({2, 3, 4}, transposed3(s, {0, 1, 2}))},
      {"matrix", op::Transpose{}, {iota({2, 3})}, gives({3, 2}, {0, 3, 1, 4, 2, 5})},
      {"rank 0", op::Transpose{}, {iota({})}, gives({}, {0})},
      {"empty", op::Transpose{}, {iota({0, 3})}, gives({3, 0}, {})},
      {"too short", op::Transpose{Perm({0, 1})}, {iota(s)}, fails("Transpose with a malformed perm")},
      {"repeated", op::Transpose{Perm({0, 0, 1})}, {iota(s)}, fails("Transpose with a malformed perm")},
      {"out of range", op::Transpose{Perm({0, 1, 3})}, {iota(s)}, fails("Transpose with a malformed perm")},
      {"negative", op::Transpose{Perm({0, 1, -1})}, {iota(s)}, fails("Transpose with a malformed perm")},
  });
}

TEST(SwapLastAxes, ExchangesTheLastTwoAxes) {
  const Tensor matrix = iota({2, 3});
  const Result<Tensor> swapped = swap_last_axes(view(matrix));
  ASSERT_TRUE(swapped.ok());
  EXPECT_EQ(swapped->shape, (Shape{3, 2}));
  EXPECT_EQ(swapped->f32, (std::vector<float>{0, 3, 1, 4, 2, 5}));

  const Tensor batch = iota({2, 2, 3});
  const Result<Tensor> batched = swap_last_axes(view(batch));
  ASSERT_TRUE(batched.ok());
  EXPECT_EQ(batched->shape, (Shape{2, 3, 2}));
  EXPECT_EQ(batched->f32, transposed3({2, 2, 3}, {0, 2, 1}));

  for (const Shape& shape : {Shape{}, Shape{4}}) {
    const Tensor small = iota(shape);
    const Result<Tensor> refused = swap_last_axes(view(small));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "a matrix with fewer than two dimensions");
  }
}

TEST(Slice, Cases) {
  const op::Slice s;
  const Tensor ten = iota({10});
  const auto slice = [&](std::vector<int64_t> starts, std::vector<int64_t> ends,
                         std::vector<int64_t> steps) -> InputList {
    return {ten, ints(std::move(starts)), ints(std::move(ends)), std::nullopt,
            ints(std::move(steps))};
  };
  run_cases({
      {"stepped", s, slice({2}, {8}, {3}), gives({2}, {2, 5})},
      {"reversed", s, slice({-1}, {-11}, {-1}), gives({10}, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0})},
      {"to the maximum", s, {ten, ints({0}), ints({kMax})}, gives({10}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})},
      {"backwards by two from the maximum", s, slice({kMax}, {kMin}, {-2}), gives({5}, {9, 7, 5, 3, 1})},
      {"minimum start backwards", s, slice({kMin}, {kMin}, {-1}), gives({1}, {0})},
      {"minimum step", s, slice({9}, {kMin}, {kMin}), gives({1}, {9})},
      {"maximum step", s, slice({0}, {kMax}, {kMax}), gives({1}, {0})},
      {"start past the end", s, slice({12}, {20}, {1}), gives({0}, {})},
      {"start after end", s, slice({5}, {3}, {1}), gives({0}, {})},
      {"nothing listed", s, {ten, ints({}), ints({})}, gives({10}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})},
      {"zero step", s, slice({0}, {10}, {0}), fails("Slice with a zero step")},
      {"ends too long", s, {ten, ints({0}), ints({5, 5})}, fails("Slice with lists of different lengths")},
      {"steps too short", s, slice({0}, {5}, {}), fails("Slice with lists of different lengths")},
      {"axes too long", s, {ten, ints({0}), ints({5}), ints({0, 0})},
       fails("Slice with lists of different lengths")},
      {"axis out of range", s, {ten, ints({0}), ints({5}), ints({1})}, fails("axis 1 for rank 1")},
      {"default axis beyond the rank", s, {ten, ints({0, 0}), ints({1, 1})}, fails("axis 1 for rank 1")},
      {"rank 0 with an axis", s, {iota({}), ints({0}), ints({1}), ints({0})}, fails("axis 0 for rank 0")},
      {"rank 0 by default", s, {iota({}), ints({0}), ints({1})}, fails("axis 0 for rank 0")},
      {"float starts", s, {ten, iota({1}), ints({1})}, fails("floats where int64 values were expected")},
      {"ends missing", s, {ten, ints({0})}, fails("input 2 is missing")},
      {"absent axes, given steps", s, {ten, ints({1}), ints({4}), std::nullopt, ints({2})},
       gives({2}, {1, 3})},
      // Each listed axis slices what the earlier ones left.
      {"axis listed twice", s, {ten, ints({2, 1}), ints({9, 100}), ints({0, 0})},
       gives({6}, {3, 4, 5, 6, 7, 8})},
  });

  const Tensor grid = iota({3, 4});
  run_cases({
      {"two axes in any order", s, {grid, ints({0, 1}), ints({3, 3}), ints({-1, 0})},
       gives({2, 3}, {4, 5, 6, 8, 9, 10})},
      {"columns backwards", s, {grid, ints({kMax}), ints({0}), ints({1}), ints({-2})},
       gives({3, 2}, {3, 1, 7, 5, 11, 9})},
      {"rows backwards", s, {grid, ints({-1}), ints({kMin}), ints({0}), ints({-1})},
       gives({3, 4}, {8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3})},
  });

  for (const int64_t step : {int64_t{1}, int64_t{3}, int64_t{-1}, int64_t{-3}, kMin, kMax}) {
    SCOPED_TRACE("step " + std::to_string(step));
    check(run(s, {iota({0}), ints({0}), ints({kMax}), std::nullopt, ints({step})}), gives({0}, {}));
    check(run(s, {iota({2, 0}), ints({-1}), ints({kMin}), ints({1}), ints({step})}),
          gives({2, 0}, {}));
  }
}

TEST(Split, Cases) {
  const Tensor row = iota({1, 6});
  const auto parts = [](std::vector<std::pair<Shape, std::vector<float>>> list) {
    std::vector<Tensor> tensors;
    for (auto& [shape, data] : list) tensors.push_back(Tensor::floats(shape, data));
    return gives_all(std::move(tensors));
  };
  run_cases({
      {"equal parts", op::Split{1, 3}, {row},
       parts({{{1, 2}, {0, 1}}, {{1, 2}, {2, 3}}, {{1, 2}, {4, 5}}})},
      {"negative axis", op::Split{-1, 2}, {row}, parts({{{1, 3}, {0, 1, 2}}, {{1, 3}, {3, 4, 5}}})},
      {"given sizes", op::Split{1, 2}, {row, ints({2, 4})},
       parts({{{1, 2}, {0, 1}}, {{1, 4}, {2, 3, 4, 5}}})},
      {"inner axis", op::Split{1, 2}, {iota({2, 3}), ints({1, 2})},
       parts({{{2, 1}, {0, 3}}, {{2, 2}, {1, 2, 4, 5}}})},
      {"outer axis", op::Split{0, 2}, {iota({2, 3})}, parts({{{1, 3}, {0, 1, 2}}, {{1, 3}, {3, 4, 5}}})},
      {"an empty part", op::Split{1, 2}, {row, ints({0, 6})},
       parts({{{1, 0}, {}}, {{1, 6}, {0, 1, 2, 3, 4, 5}}})},
      {"uneven", op::Split{1, 4}, {row}, fails("Split into uneven parts")},
      {"sizes too small", op::Split{1, 2}, {row, ints({2, 3})}, fails("Split sizes that do not add up")},
      {"too few sizes", op::Split{1, 3}, {row, ints({2, 4})}, fails("Split sizes that do not add up")},
      // 7 + (2^64 - 1) wraps to 6.
      {"negative size that wraps", op::Split{1, 2}, {row, ints({7, -1})},
       fails("Split sizes that do not add up")},
      {"sizes that overflow", op::Split{1, 3}, {row, ints({kMax, kMax, 8})},
       fails("Split sizes that do not add up")},
      {"no parts", op::Split{1, 0}, {row}, fails("Split into no parts")},
      {"axis out of range", op::Split{2, 2}, {row}, fails("axis 2 for rank 2")},
      {"rank 0", op::Split{0, 1}, {iota({})}, fails("axis 0 for rank 0")},
      {"float sizes", op::Split{1, 2}, {row, iota({2})}, fails("floats where int64 values were expected")},
  });
}

TEST(Squeeze, Cases) {
  const op::Squeeze s;
  const Tensor t = iota({1, 3, 1});
  run_cases({
      {"every one", s, {t}, gives({3}, {0, 1, 2})},
      {"last", s, {t, ints({-1})}, gives({1, 3}, {0, 1, 2})},
      {"listed twice", s, {t, ints({0, 2, 0})}, gives({3}, {0, 1, 2})},
      {"empty list", s, {t, ints({})}, gives({1, 3, 1}, {0, 1, 2})},
      {"absent axes", s, {t, std::nullopt}, gives({3}, {0, 1, 2})},
      {"all ones", s, {iota({1, 1})}, gives({}, {0})},
      {"not one", s, {t, ints({1})}, fails("Squeeze of a dimension that is not 1")},
      {"out of range", s, {t, ints({3})}, fails("axis 3 for rank 3")},
      {"rank 0 without axes", s, {iota({})}, gives({}, {0})},
      {"rank 0 with an axis", s, {iota({}), ints({0})}, fails("axis 0 for rank 0")},
  });
}

TEST(Unsqueeze, Cases) {
  const op::Unsqueeze u;
  const Tensor t = iota({3});
  run_cases({
      {"two axes", u, {t, ints({2, 0})}, gives({1, 3, 1}, {0, 1, 2})},
      {"last", u, {t, ints({-1})}, gives({3, 1}, {0, 1, 2})},
      {"first of a matrix", u, {iota({2, 2}), ints({0})}, gives({1, 2, 2}, {0, 1, 2, 3})},
      {"middle of a matrix", u, {iota({2, 2}), ints({-2})}, gives({2, 1, 2}, {0, 1, 2, 3})},
      {"listed twice", u, {t, ints({0, 0})}, gives({1, 3, 1}, {0, 1, 2})},
      {"rank 0", u, {iota({}), ints({0})}, gives({1}, {0})},
      {"out of range", u, {t, ints({3})}, fails("axis 3 for rank 2")},
      {"axes missing", u, {t}, fails("input 1 is missing")},
  });
}

TEST(Concat, Cases) {
  const Tensor a = iota({2, 3});
  const Tensor b = Tensor::floats({2, 1}, {100, 101});
  const Tensor empty_rows = iota({0, 1ull << 28});
  run_cases({
      {"rows joined", op::Concat{1}, {a, b}, gives({2, 4}, {0, 1, 2, 100, 3, 4, 5, 101})},
      {"negative axis", op::Concat{-1}, {b, a, b}, gives({2, 5}, {100, 0, 1, 2, 100, 101, 3, 4, 5, 101})},
      {"stacked", op::Concat{0}, {iota({1, 2}), iota({2, 2})}, gives({3, 2}, {0, 1, 0, 1, 2, 3})},
      {"an empty input", op::Concat{1}, {a, iota({2, 0})}, gives({2, 3}, {0, 1, 2, 3, 4, 5})},
      {"nothing before the axis", op::Concat{1}, {iota({0, 3}), iota({0, 2})}, gives({0, 5}, {})},
      {"single input", op::Concat{0}, {b}, gives({2, 1}, {100, 101})},
      {"sizes differ", op::Concat{0}, {a, b}, fails("Concat of [2, 3] and [2, 1]")},
      {"ranks differ", op::Concat{1}, {a, iota({3})}, fails("Concat of [2, 3] and [3]")},
      {"no axis", op::Concat{}, {a, b}, fails("axis -9223372036854775808 for rank 2")},
      {"rank 0", op::Concat{0}, {iota({}), iota({})}, fails("axis 0 for rank 0")},
      {"missing entry", op::Concat{1}, {a, std::nullopt, Tensor::int64s({1}, {1})},
       fails("Concat input missing")},
      {"int64 entry", op::Concat{1}, {a, Tensor::int64s({1}, {1}), std::nullopt},
       fails("int64 values where floats were expected")},
      {"nothing", op::Concat{0}, {}, fails("Concat of nothing")},
      {"result too large", op::Concat{1}, {empty_rows, empty_rows},
       fails("[0, 536870912] holds too many values")},
      {"sum past 64 bits", op::Concat{1}, {iota({0, 1ull << 63}), iota({0, 1ull << 63})},
       fails("[0, 18446744073709551615] holds too many values")},
  });
}

TEST(Flatten, Cases) {
  const Tensor t = iota({2, 3, 4});
  std::vector<float> all(24);
  std::iota(all.begin(), all.end(), 0.0f);
  run_cases({
      {"axis 0", op::Flatten{0}, {t}, gives({1, 24}, all)},
      {"axis at the rank", op::Flatten{3}, {t}, gives({24, 1}, all)},
      {"last axis", op::Flatten{-1}, {t}, gives({6, 4}, all)},
      {"default", op::Flatten{}, {t}, gives({2, 12}, all)},
      {"most negative", op::Flatten{-3}, {t}, gives({1, 24}, all)},
      {"empty leading", op::Flatten{1}, {iota({0, 3})}, gives({0, 0}, {})},
      {"empty trailing", op::Flatten{1}, {iota({3, 0})}, gives({3, 0}, {})},
      {"rank 0", op::Flatten{0}, {iota({})}, gives({1, 1}, {0})},
      {"past the rank", op::Flatten{4}, {t}, fails("Flatten with a malformed axis")},
      {"below minus the rank", op::Flatten{-4}, {t}, fails("Flatten with a malformed axis")},
      {"minimum", op::Flatten{kMin}, {t}, fails("Flatten with a malformed axis")},
      {"maximum", op::Flatten{kMax}, {t}, fails("Flatten with a malformed axis")},
  });
}

TEST(Gather, Cases) {
  const Tensor t = iota({3, 2});
  run_cases({
      {"matrix of indices", op::Gather{0}, {t, Tensor::int64s({2, 2}, {0, 2, -1, 1})},
       gives({2, 2, 2}, {0, 1, 4, 5, 4, 5, 2, 3})},
      {"rank-0 index", op::Gather{0}, {t, Tensor::int64s({}, {1})}, gives({2}, {2, 3})},
      {"inner axis", op::Gather{1}, {t, ints({1, 0, 1})}, gives({3, 3}, {1, 0, 1, 3, 2, 3, 5, 4, 5})},
      {"negative axis", op::Gather{-1}, {t, Tensor::int64s({}, {-2})}, gives({3}, {0, 2, 4})},
      {"no indices", op::Gather{0}, {t, ints({})}, gives({0, 2}, {})},
      {"index 3", op::Gather{0}, {t, ints({0, 3})}, fails("Gather index out of range")},
      {"index -4", op::Gather{0}, {t, ints({-4})}, fails("Gather index out of range")},
      {"minimum index", op::Gather{0}, {t, ints({kMin})}, fails("Gather index out of range")},
      {"maximum index", op::Gather{0}, {t, ints({kMax})}, fails("Gather index out of range")},
      {"checked with nothing to copy", op::Gather{0}, {iota({3, 0}), ints({5})},
       fails("Gather index out of range")},
      {"not checked with nothing before", op::Gather{1}, {iota({0, 3}), ints({7})}, gives({0, 1}, {})},
      {"float indices", op::Gather{0}, {t, iota({1})}, fails("Gather with float indices")},
      {"axis out of range", op::Gather{2}, {t, ints({0})}, fails("axis 2 for rank 2")},
      {"rank 0", op::Gather{0}, {iota({}), ints({0})}, fails("axis 0 for rank 0")},
      {"indices missing", op::Gather{0}, {t}, fails("input 1 is missing")},
  });

  // Each of 2^15 indices copies a row of 2^14 values: 2^29 in all.
  const Tensor wide = iota({1, 1 << 14});
  const Tensor many = Tensor::int64s({1 << 15}, std::vector<int64_t>(1 << 15, 0));
  check(run(op::Gather{0}, {wide, many}), fails("[32768, 16384] holds too many values"));
}

// Every kind with a single data input fetches input 0 and checks its type first.
TEST(ShapeKinds, DataInputIsCheckedFirst) {
  const std::vector<std::pair<const char*, OpKind>> kinds = {
      {"Reshape", op::Reshape{}},     {"Transpose", op::Transpose{}}, {"Slice", op::Slice{}},
      {"Split", op::Split{0, 1}},     {"Squeeze", op::Squeeze{}},     {"Unsqueeze", op::Unsqueeze{}},
      {"Flatten", op::Flatten{}},     {"Gather", op::Gather{}},
  };
  for (const auto& [name, kind] : kinds) {
    SCOPED_TRACE(name);
    check(run(kind, {}), fails("input 0 is missing"));
    check(run(kind, {std::nullopt, ints({0})}), fails("input 0 is missing"));
    check(run(kind, {Tensor::int64s({2}, {1, 2}), iota({1})}),
          fails("int64 values where floats were expected"));
  }
}

// One-line checks that evaluate_op reaches each kernel with its parameters.
TEST(ShapeKinds, DispatchedByEvaluateOp) {
  run_cases({
      {"Reshape", op::Reshape{}, {iota({2, 2}), ints({4})}, gives({4}, {0, 1, 2, 3})},
      {"Transpose", op::Transpose{}, {iota({1, 2})}, gives({2, 1}, {0, 1})},
      {"Slice", op::Slice{}, {iota({4}), ints({1}), ints({3})}, gives({2}, {1, 2})},
      {"Split", op::Split{0, 2}, {iota({2})},
       gives_all({Tensor::floats({1}, {0}), Tensor::floats({1}, {1})})},
      {"Squeeze", op::Squeeze{}, {iota({1, 2})}, gives({2}, {0, 1})},
      {"Unsqueeze", op::Unsqueeze{}, {iota({2}), ints({1})}, gives({2, 1}, {0, 1})},
      {"Concat", op::Concat{0}, {iota({1}), iota({1})}, gives({2}, {0, 0})},
      {"Flatten", op::Flatten{0}, {iota({2})}, gives({1, 2}, {0, 1})},
      {"Gather", op::Gather{0}, {iota({3}), ints({2})}, gives({1}, {2})},
  });
}

}  // namespace
}  // namespace wd
