#include <cstddef>

#include "kernels.h"

namespace wd {

Result<Outputs> reduce_sum_kernel(const op::ReduceSum& params, Inputs inputs) {
  WD_TRY(const Tensor* x_tensor, input(inputs, 0));
  WD_TRY(const FloatView x, as_floats(*x_tensor));
  const Shape& dims = x.dims();
  const uint64_t rank = x.rank();

  std::span<const int64_t> listed;
  if (inputs.size() > 1 && inputs[1] != nullptr) {
    WD_TRY(listed, as_int64s(*inputs[1]));
  }
  std::vector<bool> reduced(rank, false);
  if (listed.empty()) {
    Outputs outputs;
    if (params.noop_with_empty_axes) {
      outputs.push_back(Tensor::floats(dims, std::vector<float>(x.data.begin(), x.data.end())));
      return outputs;
    }
    reduced.assign(rank, true);
  } else {
    WD_TRY(const std::vector<uint64_t> axes, normalize_axes(listed, rank));
    // A rank-0 tensor accepts axis 0 although it has no axis to mark; its one
    // value is then summed on its own.
    for (const uint64_t axis : axes) {
      if (axis < rank) reduced[axis] = true;
    }
  }

  Shape kept = dims;
  Shape dropped;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    if (reduced[axis]) {
      kept[axis] = 1;
    } else {
      dropped.push_back(dims[axis]);
    }
  }

  // Not larger than x, which exists; but x may hold no values while the kept
  // shape, with 1 in place of its zero sizes, is large.
  WD_TRY(const uint64_t count, checked_element_count(kept));

  // Every element of x lands on the kept element with its own indices on the
  // kept axes and index 0 on the reduced ones.
  const std::vector<uint64_t> kept_strides = strides(kept);
  std::vector<int64_t> walk(rank, 0);
  for (std::size_t axis = 0; axis < rank; ++axis) {
    if (!reduced[axis]) walk[axis] = static_cast<int64_t>(kept_strides[axis]);
  }
  const std::vector<int64_t> offsets = offset_table(dims, walk);
  if (offsets.size() != x.data.size()) internal_fault("a tensor whose data does not fit its shape");

  std::vector<float> sums(count, 0.0f);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    sums[static_cast<uint64_t>(offsets[i])] += x.data[i];
  }

  Outputs outputs;
  outputs.push_back(Tensor::floats(params.keepdims ? std::move(kept) : std::move(dropped),
                                   std::move(sums)));
  return outputs;
}

}  // namespace wd
