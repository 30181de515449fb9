// The work bound: the multiply-adds an operation needs, so that a model cannot keep
// a run busy for hours with operations whose values all stay under the element
// bound.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "graph.h"
#include "kernels.h"
#include "result.h"
#include "tensor.h"

namespace wd {

// The iterations of a loop nest over these sizes: 0 when any size is 0, however
// large the others, and the largest uint64_t when the product does not fit.
uint64_t loop_work(std::initializer_list<uint64_t> sizes);

// Fails with name + " needs too much work" above kMaxOperationWork.
Status<> check_operation_work(std::string_view name, uint64_t work);

// The work of an operation that has been evaluated successfully on these inputs:
// the multiply-adds of Conv, Gemm, MatMul and GRU, and the values read and written
// by the other kinds, whose work is proportional to them.
uint64_t operation_work(const OpKind& kind, Inputs inputs, const Outputs& outputs);

// The work of a sequence of operations, added up against a bound.
class WorkBudget {
 public:
  explicit WorkBudget(uint64_t bound = kMaxTotalWork) : bound_(bound) {}
  // False once the work spent so far passes the bound.
  [[nodiscard]] bool spend(uint64_t work);

 private:
  uint64_t bound_;
  uint64_t spent_ = 0;
};

}  // namespace wd
