#include "tensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace wd {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

FloatView view(const Tensor& t) { return FloatView{&t.shape, t.f32}; }

TEST(ShapeText, WritesSizesBetweenBrackets) {
  EXPECT_EQ(shape_text({}), "[]");
  EXPECT_EQ(shape_text({7}), "[7]");
  EXPECT_EQ(shape_text({1, 161, 2}), "[1, 161, 2]");
  EXPECT_EQ(shape_text({0, 18446744073709551615u}), "[0, 18446744073709551615]");
}

TEST(ElementCount, ProductOfSizes) {
  EXPECT_EQ(element_count({}), 1u);
  EXPECT_EQ(element_count({2, 3, 4}), 24u);
  EXPECT_EQ(element_count({5, 0, 3}), 0u);
}

TEST(CheckedElementCount, AcceptsWhatFitsAndRefusesTheRest) {
  struct Case {
    Shape shape;
    std::optional<uint64_t> count;  // nothing: refused
  };
  const uint64_t two32 = uint64_t{1} << 32;
  const Case cases[] = {
      {{}, 1},
      {{2, 3, 4}, 24},
      {{kMaxElements}, kMaxElements},
      {{uint64_t{1} << 14, uint64_t{1} << 14}, kMaxElements},
      {{kMaxElements + 1}, std::nullopt},
      {{uint64_t{1} << 14, (uint64_t{1} << 14) + 1}, std::nullopt},
      // 2^32 * 2^32 wraps to 0 in 64 bits.
      {{two32, two32}, std::nullopt},
      {{3, 0, 5}, 0},
      {{0, kMaxElements}, 0},
      // Empty, yet its other axes are too large to walk or to take strides of.
      {{0, kMaxElements + 1}, std::nullopt},
      {{two32, two32, 0}, std::nullopt},
      {{0, UINT64_MAX, UINT64_MAX}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(shape_text(c.shape));
    const Result<uint64_t> got = checked_element_count(c.shape);
    if (c.count) {
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_EQ(*got, *c.count);
    } else {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message, shape_text(c.shape) + " holds too many values");
    }
  }
}

TEST(Strides, RowMajorInElements) {
  EXPECT_EQ(strides({}), std::vector<uint64_t>{});
  EXPECT_EQ(strides({5}), (std::vector<uint64_t>{1}));
  EXPECT_EQ(strides({2, 3, 4}), (std::vector<uint64_t>{12, 4, 1}));
  EXPECT_EQ(strides({3, 0, 2}), (std::vector<uint64_t>{0, 2, 1}));
}

TEST(ElementTypes, ViewsCheckTheType) {
  const Tensor f = Tensor::floats({2}, {1.5f, 2.5f});
  const Tensor i = Tensor::int64s({2}, {4, -5});

  const Result<FloatView> fv = as_floats(f);
  ASSERT_TRUE(fv.ok());
  EXPECT_EQ(fv->dims(), (Shape{2}));
  EXPECT_EQ(fv->data[1], 2.5f);
  const Result<std::span<const int64_t>> iv = as_int64s(i);
  ASSERT_TRUE(iv.ok());
  EXPECT_EQ((*iv)[1], -5);

  const Result<FloatView> wrong_f = as_floats(i);
  ASSERT_FALSE(wrong_f.ok());
  EXPECT_EQ(wrong_f.error().message, "int64 values where floats were expected");
  const Result<std::span<const int64_t>> wrong_i = as_int64s(f);
  ASSERT_FALSE(wrong_i.ok());
  EXPECT_EQ(wrong_i.error().message, "floats where int64 values were expected");
}

TEST(Input, MissingWhenBeyondTheListOrAbsent) {
  const Tensor t = Tensor::floats({}, {1.0f});
  const Tensor* two[] = {&t, &t};
  const Tensor* three[] = {&t, &t, nullptr};

  const Result<const Tensor*> first = input(two, 1);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, &t);
  for (const Inputs list : {Inputs(two), Inputs(three)}) {
    const Result<const Tensor*> got = input(list, 2);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message, "input 2 is missing");
  }
  EXPECT_EQ(input(Inputs(), 0).error().message, "input 0 is missing");
}

TEST(NormalizeAxis, AddsTheRankToNegativeAxes) {
  struct Case {
    int64_t axis;
    uint64_t rank;
    std::optional<uint64_t> expected;
  };
  const Case cases[] = {
      {-1, 3, 2},
      {0, 3, 0},
      {2, 3, 2},
      {-3, 3, 0},
      {3, 3, std::nullopt},
      {-4, 3, std::nullopt},
      {0, 0, 0},
      {-1, 0, std::nullopt},
      {1, 0, std::nullopt},
      {INT64_MIN, 3, std::nullopt},
      {INT64_MAX, 3, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.axis) + " for rank " + std::to_string(c.rank));
    const Result<uint64_t> got = normalize_axis(c.axis, c.rank);
    if (c.expected) {
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_EQ(*got, *c.expected);
    } else {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message,
                "axis " + std::to_string(c.axis) + " for rank " + std::to_string(c.rank));
    }
  }
}

TEST(NormalizeAxes, KeepsOrderAndDuplicatesAndReportsTheFirstBadAxis) {
  const int64_t good[] = {-1, 0, 2, 0};
  const Result<std::vector<uint64_t>> got = normalize_axes(good, 3);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, (std::vector<uint64_t>{2, 0, 2, 0}));

  const int64_t bad[] = {1, 5, -9};
  const Result<std::vector<uint64_t>> refused = normalize_axes(bad, 3);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "axis 5 for rank 3");
}

TEST(BroadcastShapes, AlignsOnTheRight) {
  struct Case {
    Shape a, b;
    std::optional<Shape> expected;
  };
  const Case cases[] = {
      {{3, 1}, {2, 1, 4}, Shape{2, 3, 4}},
      {{2, 1, 5}, {3, 1}, Shape{2, 3, 5}},
      {{}, {4}, Shape{4}},
      {{4}, {}, Shape{4}},
      {{}, {}, Shape{}},
      {{0, 3}, {1, 3}, Shape{0, 3}},
      {{1}, {0}, Shape{0}},
      {{2, 3}, {3, 2}, std::nullopt},
      {{2, 3}, {4}, std::nullopt},
      {{0}, {2}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(shape_text(c.a) + " with " + shape_text(c.b));
    const Result<Shape> got = broadcast_shapes(c.a, c.b);
    if (c.expected) {
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_EQ(*got, *c.expected);
    } else {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message,
                shape_text(c.a) + " and " + shape_text(c.b) + " do not broadcast");
    }
  }
}

TEST(ApplyBinary, SingleIeeeOperations) {
  EXPECT_EQ(apply_binary(BinaryFunction::Add, 1.5f, 2.25f), 3.75f);
  EXPECT_EQ(apply_binary(BinaryFunction::Sub, 1.0f, 3.0f), -2.0f);
  EXPECT_EQ(apply_binary(BinaryFunction::Mul, -1.5f, 4.0f), -6.0f);
  EXPECT_EQ(apply_binary(BinaryFunction::Div, 1.0f, 0.0f), kInf);
  EXPECT_EQ(apply_binary(BinaryFunction::Div, -1.0f, 0.0f), -kInf);
  EXPECT_TRUE(std::isnan(apply_binary(BinaryFunction::Div, 0.0f, 0.0f)));
  EXPECT_EQ(apply_binary(BinaryFunction::Pow, -3.0f, 2.0f), 9.0f);
  EXPECT_EQ(apply_binary(BinaryFunction::Pow, 4.0f, 0.5f), 2.0f);
  EXPECT_EQ(apply_binary(BinaryFunction::Pow, 2.0f, 10.0f), 1024.0f);
  EXPECT_TRUE(std::isnan(apply_binary(BinaryFunction::Pow, -8.0f, 1.0f / 3.0f)));
  // Squaring a value whose square overflows gives infinity either way; a NaN base
  // stays NaN.
  EXPECT_EQ(apply_binary(BinaryFunction::Pow, 1e20f, 2.0f), kInf);
  EXPECT_TRUE(std::isnan(apply_binary(BinaryFunction::Pow, std::nanf(""), 2.0f)));
}

// broadcast_apply again with a's tensor given up, as for an operand nothing reads
// afterwards: the same result, which is a's tensor exactly when it has a's shape.
void expect_same_over_a(const Tensor& a, const Tensor& b, BinaryFunction f,
                        const Tensor& expected) {
  Tensor given = a;
  const float* held = given.f32.data();
  const Result<Tensor> got = broadcast_apply(view(given), view(b), f, &given);
  ASSERT_TRUE(got.ok()) << got.error().message;
  EXPECT_EQ(got->shape, expected.shape);
  EXPECT_EQ(got->f32, expected.f32);
  const bool over_a = expected.shape == a.shape;
  EXPECT_EQ(given.f32.empty(), over_a || a.f32.empty());
  if (over_a) {
    EXPECT_EQ(got->f32.data(), held);
  }
}

TEST(BroadcastApply, ShortcutsAndGeneralWalk) {
  struct Case {
    const char* name;
    Tensor a, b;
    BinaryFunction f;
    Shape shape;
    std::vector<float> data;
  };
  const Case cases[] = {
      {"equal shapes", Tensor::floats({2, 2}, {1, 2, 3, 4}), Tensor::floats({2, 2}, {10, 20, 30, 40}),
       BinaryFunction::Sub, {2, 2}, {-9, -18, -27, -36}},
      {"scalar second", Tensor::floats({2}, {5, 7}), Tensor::floats({}, {1}), BinaryFunction::Sub,
       {2}, {4, 6}},
      {"scalar first", Tensor::floats({}, {1}), Tensor::floats({2}, {5, 7}), BinaryFunction::Sub,
       {2}, {-4, -6}},
      {"single element of lower rank", Tensor::floats({2, 1}, {8, 9}), Tensor::floats({1}, {2}),
       BinaryFunction::Div, {2, 1}, {4, 4.5f}},
      // A single element of the higher rank widens the result's rank.
      {"single element of higher rank", Tensor::floats({1, 1}, {5}),
       Tensor::floats({3}, {1, 2, 3}), BinaryFunction::Sub, {1, 3}, {4, 3, 2}},
      {"row against rows", Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6}),
       Tensor::floats({3}, {10, 20, 30}), BinaryFunction::Add, {2, 3}, {11, 22, 33, 14, 25, 36}},
      {"column against rows", Tensor::floats({2, 3}, {1, 2, 3, 4, 5, 6}),
       Tensor::floats({2, 1}, {10, -0.5f}), BinaryFunction::Mul, {2, 3},
       {10, 20, 30, -2, -2.5f, -3}},
      {"column against row", Tensor::floats({2, 1}, {1, 2}), Tensor::floats({1, 3}, {10, 20, 30}),
       BinaryFunction::Sub, {2, 3}, {-9, -19, -29, -8, -18, -28}},
      {"row against column", Tensor::floats({3}, {1, 2, 3}), Tensor::floats({2, 1}, {10, 20}),
       BinaryFunction::Mul, {2, 3}, {10, 20, 30, 20, 40, 60}},
      {"rows of one", Tensor::floats({2, 1, 1}, {1, 2}), Tensor::floats({1, 3, 1}, {1, 2, 3}),
       BinaryFunction::Add, {2, 3, 1}, {2, 3, 4, 3, 4, 5}},
      {"middle axis broadcast", Tensor::floats({2, 1, 2}, {1, 2, 3, 4}),
       Tensor::floats({2, 2, 2}, {0, 0, 1, 1, 2, 2, 3, 3}), BinaryFunction::Pow, {2, 2, 2},
       {1, 1, 1, 2, 9, 16, 27, 64}},
      {"empty against one", Tensor::floats({0, 3}, {}), Tensor::floats({1, 3}, {1, 2, 3}),
       BinaryFunction::Add, {0, 3}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Tensor> got = broadcast_apply(view(c.a), view(c.b), c.f);
    ASSERT_TRUE(got.ok()) << got.error().message;
    EXPECT_EQ(got->type, ElementType::F32);
    EXPECT_EQ(got->shape, c.shape);
    EXPECT_EQ(got->f32, c.data);
    expect_same_over_a(c.a, c.b, c.f, Tensor::floats(c.shape, c.data));
  }
}

// Rows longer than the vector blocks, with a remainder after them.
TEST(BroadcastApply, LongRows) {
  const auto iota = [](Shape shape) {
    std::vector<float> data(element_count(shape));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i);
    return Tensor::floats(std::move(shape), std::move(data));
  };
  const auto row_of = [](std::initializer_list<std::pair<float, float>> spans) {
    // Each pair is (first value, step) of a row of 19 values.
    std::vector<float> data;
    for (const auto& [first, step] : spans) {
      for (int j = 0; j < 19; ++j) data.push_back(first + step * static_cast<float>(j));
    }
    return data;
  };
  struct Case {
    const char* name;
    Tensor a, b;
    BinaryFunction f;
    Shape shape;
    std::vector<float> data;
  };
  const Case cases[] = {
      {"equal shapes", iota({19}), iota({19}), BinaryFunction::Add, {19}, row_of({{0, 2}})},
      {"scalar second", iota({19}), Tensor::floats({}, {3}), BinaryFunction::Mul, {19},
       row_of({{0, 3}})},
      {"scalar first", Tensor::floats({}, {100}), iota({19}), BinaryFunction::Sub, {19},
       row_of({{100, -1}})},
      {"row against rows", iota({2, 19}), iota({19}), BinaryFunction::Sub, {2, 19},
       row_of({{0, 0}, {19, 0}})},
      {"column against rows", iota({2, 19}), Tensor::floats({2, 1}, {1, 2}), BinaryFunction::Mul,
       {2, 19}, row_of({{0, 1}, {38, 2}})},
      {"row against column", iota({19}), Tensor::floats({2, 1}, {1, 2}), BinaryFunction::Mul,
       {2, 19}, row_of({{0, 1}, {0, 2}})},
      {"column against row", Tensor::floats({2, 1}, {100, 200}), iota({19}), BinaryFunction::Sub,
       {2, 19}, row_of({{100, -1}, {200, -1}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Tensor> got = broadcast_apply(view(c.a), view(c.b), c.f);
    ASSERT_TRUE(got.ok()) << got.error().message;
    EXPECT_EQ(got->shape, c.shape);
    EXPECT_EQ(got->f32, c.data);
    expect_same_over_a(c.a, c.b, c.f, Tensor::floats(c.shape, c.data));
  }
}

TEST(BroadcastApply, Refusals) {
  const Tensor a = Tensor::floats({2, 3}, std::vector<float>(6));
  const Tensor b = Tensor::floats({3, 2}, std::vector<float>(6));
  const Result<Tensor> mismatch = broadcast_apply(view(a), view(b), BinaryFunction::Add);
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().message, "[2, 3] and [3, 2] do not broadcast");

  // Two modest operands whose broadcast would exceed the element limit.
  const uint64_t n = uint64_t{1} << 15;
  const Tensor column = Tensor::floats({n, 1}, std::vector<float>(n));
  const Tensor row = Tensor::floats({1, n}, std::vector<float>(n));
  const Result<Tensor> huge = broadcast_apply(view(column), view(row), BinaryFunction::Mul);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().message, "[32768, 32768] holds too many values");
}

TEST(BroadcastApply, ATensorGivenUpMustBeTheFirstOperands) {
  const Tensor a = Tensor::floats({2}, {1, 2});
  Tensor other = a;
  EXPECT_THROW((void)broadcast_apply(view(a), view(a), BinaryFunction::Add, &other),
               InternalFault);
}

TEST(GatherStrided, WalksTargetPositionsInRowMajorOrder) {
  const std::vector<float> source = {0, 1, 2, 3, 4, 5};
  struct Case {
    const char* name;
    Shape target;
    int64_t offset;
    std::vector<int64_t> strides;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"transpose of [2, 3]", {3, 2}, 0, {1, 3}, {0, 3, 1, 4, 2, 5}},
      {"runs of the last axis", {2, 2}, 1, {3, 1}, {1, 2, 4, 5}},
      {"reversed", {6}, 5, {-1}, {5, 4, 3, 2, 1, 0}},
      {"every other, reversed rows", {2, 2}, 3, {-3, 2}, {3, 5, 0, 2}},
      {"rank 0", {}, 4, {}, {4}},
      // An axis of size 1 is never stepped along, whatever its stride.
      {"size-one axis with a huge stride", {1, 3}, 0, {INT64_MAX, 2}, {0, 2, 4}},
      // Axes that read one contiguous stretch are copied as one run; the rest are not.
      {"rows that follow one another", {2, 3}, 0, {3, 1}, {0, 1, 2, 3, 4, 5}},
      {"trailing axis of size one joined to rows that stay apart", {2, 2, 1}, 1, {3, 1, 7},
       {1, 2, 4, 5}},
      {"size-one axis between rows that follow one another", {2, 1, 2}, 0, {2, -5, 1},
       {0, 1, 2, 3}},
      {"last axis of size one under a stepped axis", {3, 1}, 0, {2, INT64_MIN}, {0, 2, 4}},
      {"rows that follow one another backwards", {2, 3}, 3, {-3, 1}, {3, 4, 5, 0, 1, 2}},
      {"empty target reads nothing", {0, 4}, 1000, {INT64_MIN, 7}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(gather_strided(source, c.target, c.offset, c.strides), c.expected);
  }
}

TEST(GatherStrided, AnIndexOutsideTheSourceIsAnInternalFault) {
  const std::vector<float> source = {0, 1, 2};
  const std::vector<int64_t> forward = {1};
  const std::vector<int64_t> backward = {-1};
  EXPECT_THROW(gather_strided(source, {3}, 1, forward), InternalFault);
  EXPECT_THROW(gather_strided(source, {3}, 1, backward), InternalFault);
  EXPECT_THROW(gather_strided(source, {}, 3, {}), InternalFault);
}

TEST(OffsetTable, OffsetsOfEveryPosition) {
  const std::vector<int64_t> transposed = {1, 3};
  EXPECT_EQ(offset_table({3, 2}, transposed), (std::vector<int64_t>{0, 3, 1, 4, 2, 5}));
  const std::vector<int64_t> none = {};
  EXPECT_EQ(offset_table({}, none), (std::vector<int64_t>{0}));
  const std::vector<int64_t> two = {4, 1};
  EXPECT_EQ(offset_table({2, 0}, two), (std::vector<int64_t>{}));
  const std::vector<int64_t> one = {-2};
  EXPECT_EQ(offset_table({3}, one), (std::vector<int64_t>{0, -2, -4}));
}

}  // namespace
}  // namespace wd
