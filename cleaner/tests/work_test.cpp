// The work bound: the work counted for each kind of operation, the bound of one
// operation and the budget of many. The expected counts are worked out by hand
// from the shapes.
#include "work.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executor.h"

namespace wd {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

Tensor zeros(Shape shape) {
  uint64_t count = 1;
  for (const uint64_t size : shape) count *= size;
  return Tensor::floats(std::move(shape), std::vector<float>(count, 0.0f));
}

TEST(LoopWork, MultipliesSizesAndSaturates) {
  EXPECT_EQ(loop_work({3, 4, 5}), 60u);
  EXPECT_EQ(loop_work({uint64_t{1} << 32, uint64_t{1} << 31}), uint64_t{1} << 63);
  EXPECT_EQ(loop_work({uint64_t{1} << 32, uint64_t{1} << 32}), kMax);
  EXPECT_EQ(loop_work({kMax, kMax, 2}), kMax);
  // An empty loop does nothing however large the loops around it.
  EXPECT_EQ(loop_work({kMax, kMax, 0}), 0u);
  EXPECT_EQ(loop_work({0, kMax, kMax}), 0u);
}

TEST(OperationWork, RefusedAboveTheBoundOfOneOperation) {
  EXPECT_TRUE(check_operation_work("Conv", kMaxOperationWork).ok());
  const Status<> refused = check_operation_work("Conv", kMaxOperationWork + 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "Conv needs too much work");
}

// Each operation is evaluated for real, then its work is taken from its inputs and
// outputs.
TEST(OperationWork, CountsMultiplyAddsOfProductsAndValuesOfTheRest) {
  const Tensor a23 = zeros({2, 3});
  const Tensor a32 = zeros({3, 2});
  const Tensor b34 = zeros({3, 4});
  const Tensor bias3 = zeros({3});
  const Tensor batch = zeros({2, 3, 4});
  const Tensor b45 = zeros({4, 5});
  const Tensor image = zeros({1, 2, 5, 5});
  const Tensor filters = zeros({3, 2, 3, 3});
  const Tensor steps = zeros({4, 2, 3});
  const Tensor gru_w = zeros({2, 3, 15});
  const Tensor gru_r = zeros({2, 5, 15});
  struct Case {
    const char* name;
    OpKind kind;
    std::vector<const Tensor*> inputs;
    uint64_t work;
  };
  const Case cases[] = {
      // M K N = 2 * 3 * 4, whichever way A is given.
      {"Gemm", op::Gemm{}, {&a23, &b34}, 24},
      {"Gemm with transA", op::Gemm{1.0f, 1.0f, true, false}, {&a32, &b34}, 24},
      // P M K N = 2 * 3 * 4 * 5
      {"MatMul over a batch", op::MatMul{}, {&batch, &b45}, 120},
      // N M OH OW Cg kH kW = 1 * 3 * 3 * 3 * 2 * 3 * 3
      {"Conv", op::Conv{1, {1, 1}, {1, 1}, {0, 0, 0, 0}}, {&image, &filters}, 486},
      // D Bt T 3H (I + H) = 2 * 2 * 4 * 15 * (3 + 5)
      {"bidirectional GRU", op::Gru{GruDirection::Bidirectional, 5, true},
       {&steps, &gru_w, &gru_r}, 1920},
      // Values read (6 + 3) and written (6).
      {"Add", op::Arithmetic{BinaryFunction::Add}, {&a23, &bias3}, 15},
      // A sum over all axes reads its whole input (24) for a single value.
      {"ReduceSum", op::ReduceSum{}, {&batch, nullptr}, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Outputs> outputs = evaluate_op(c.kind, c.inputs);
    ASSERT_TRUE(outputs.ok()) << outputs.error().message;
    EXPECT_EQ(operation_work(c.kind, c.inputs, *outputs), c.work);
  }
}

TEST(WorkBudget, RefusesOnceTheTotalPassesTheBound) {
  WorkBudget budget(100);
  EXPECT_TRUE(budget.spend(60));
  EXPECT_TRUE(budget.spend(40));
  EXPECT_TRUE(budget.spend(0));
  EXPECT_FALSE(budget.spend(1));

  // A sum past 64 bits saturates instead of wrapping back under the bound.
  WorkBudget wrapping;
  EXPECT_TRUE(wrapping.spend(kMaxTotalWork));
  EXPECT_FALSE(wrapping.spend(kMax));
  EXPECT_FALSE(wrapping.spend(kMaxTotalWork));
}

}  // namespace
}  // namespace wd
