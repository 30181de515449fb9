#include "kernels.h"

namespace wd {

Result<Outputs> reduce_sum_kernel(const op::ReduceSum&, Inputs) {
  return fail("ReduceSum is not built yet");
}

}  // namespace wd
