#include "kernels.h"

namespace wd {

Result<Outputs> reshape_kernel(const op::Reshape&, Inputs) {
  return fail("Reshape is not built yet");
}

Result<Outputs> transpose_kernel(const op::Transpose&, Inputs) {
  return fail("Transpose is not built yet");
}

Result<Outputs> slice_kernel(const op::Slice&, Inputs) {
  return fail("Slice is not built yet");
}

Result<Outputs> split_kernel(const op::Split&, Inputs) {
  return fail("Split is not built yet");
}

Result<Outputs> squeeze_kernel(const op::Squeeze&, Inputs) {
  return fail("Squeeze is not built yet");
}

Result<Outputs> unsqueeze_kernel(const op::Unsqueeze&, Inputs) {
  return fail("Unsqueeze is not built yet");
}

Result<Outputs> concat_kernel(const op::Concat&, Inputs) {
  return fail("Concat is not built yet");
}

Result<Outputs> flatten_kernel(const op::Flatten&, Inputs) {
  return fail("Flatten is not built yet");
}

Result<Outputs> gather_kernel(const op::Gather&, Inputs) {
  return fail("Gather is not built yet");
}

}  // namespace wd
