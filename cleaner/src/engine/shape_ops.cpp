#include <algorithm>
#include <iterator>
#include <numeric>
#include <optional>

#include "kernels.h"

namespace wd {
namespace {

Failure axis_failure(int64_t axis, uint64_t rank) {
  return fail("axis " + std::to_string(axis) + " for rank " + std::to_string(rank));
}

Result<FloatView> data_input(Inputs inputs) {
  WD_TRY(const Tensor* tensor, input(inputs, 0));
  return as_floats(*tensor);
}

Result<std::span<const int64_t>> integer_input(Inputs inputs, uint64_t k) {
  WD_TRY(const Tensor* tensor, input(inputs, k));
  return as_int64s(*tensor);
}

// Nothing when the input is absent; its values otherwise.
Result<std::optional<std::span<const int64_t>>> optional_integer_input(Inputs inputs, uint64_t k) {
  if (k >= inputs.size() || inputs[k] == nullptr) return std::optional<std::span<const int64_t>>{};
  WD_TRY(const std::span<const int64_t> values, as_int64s(*inputs[k]));
  return std::optional<std::span<const int64_t>>(values);
}

// normalize_axis lets axis 0 through for a rank-0 tensor, which has no axis to index.
Result<uint64_t> indexed_axis(int64_t axis, uint64_t rank) {
  if (rank == 0) return axis_failure(axis, rank);
  return normalize_axis(axis, rank);
}

std::vector<int64_t> signed_strides(const Shape& shape) {
  const std::vector<uint64_t> unsigned_strides = strides(shape);
  return std::vector<int64_t>(unsigned_strides.begin(), unsigned_strides.end());
}

Outputs single(Tensor tensor) {
  Outputs outputs;
  outputs.push_back(std::move(tensor));
  return outputs;
}

// X's data under a new shape with the same element count: taken over when X is
// expiring, copied otherwise.
Result<Outputs> relabelled(FloatView x, Shape shape, Tensor* expiring) {
  WD_CHECK(checked_element_count(shape));
  std::vector<float> data =
      expiring ? std::move(expiring->f32) : std::vector<float>(x.data.begin(), x.data.end());
  return single(Tensor::floats(std::move(shape), std::move(data)));
}

// Product of the sizes, or nothing when it does not fit 64 bits.
std::optional<uint64_t> exact_product(std::span<const uint64_t> sizes) {
  if (std::find(sizes.begin(), sizes.end(), uint64_t{0}) != sizes.end()) return uint64_t{0};
  uint64_t product = 1;
  for (const uint64_t size : sizes) {
    if (__builtin_mul_overflow(product, size, &product)) return std::nullopt;
  }
  return product;
}

}  // namespace

Tensor permute_axes(FloatView x, std::span<const uint64_t> perm) {
  const std::vector<uint64_t> source_strides = strides(x.dims());
  Shape shape(perm.size());
  std::vector<int64_t> steps(perm.size());
  for (std::size_t i = 0; i < perm.size(); ++i) {
    shape[i] = x.dims()[perm[i]];
    steps[i] = static_cast<int64_t>(source_strides[perm[i]]);
  }
  std::vector<float> data = gather_strided(x.data, shape, 0, steps);
  return Tensor::floats(std::move(shape), std::move(data));
}

Result<Tensor> swap_last_axes(FloatView x) {
  const uint64_t rank = x.rank();
  if (rank < 2) return fail("a matrix with fewer than two dimensions");
  std::vector<uint64_t> perm(rank);
  std::iota(perm.begin(), perm.end(), uint64_t{0});
  std::swap(perm[rank - 2], perm[rank - 1]);
  return permute_axes(x, perm);
}

Result<Outputs> reshape_kernel(const op::Reshape& params, Inputs inputs, Tensor* expiring) {
  WD_TRY(const FloatView x, data_input(inputs));
  WD_TRY(const std::span<const int64_t> requested, integer_input(inputs, 1));
  const uint64_t count = x.data.size();

  Shape shape;
  shape.reserve(requested.size());
  std::optional<std::size_t> inferred;
  for (std::size_t i = 0; i < requested.size(); ++i) {
    const int64_t size = requested[i];
    if (size == -1) {
      if (inferred) return fail("Reshape to a malformed shape");
      inferred = i;
      shape.push_back(1);
    } else if (size == 0 && !params.allowzero) {
      if (i >= x.rank()) return fail("Reshape copies a missing dimension");
      shape.push_back(x.dims()[i]);
    } else if (size < 0) {
      return fail("Reshape to a malformed shape");
    } else {
      shape.push_back(static_cast<uint64_t>(size));
    }
  }

  const std::optional<uint64_t> product = exact_product(shape);
  if (!inferred) {
    if (product != count) {
      return fail("Reshape of " + shape_text(x.dims()) + " to " + shape_text(shape));
    }
  } else {
    // A product too large for 64 bits exceeds every element count, so only an empty
    // X is a multiple of it.
    if (product == uint64_t{0} || (product ? count % *product != 0 : count != 0)) {
      return fail("Reshape cannot infer a dimension");
    }
    shape[*inferred] = product ? count / *product : 0;
  }
  return relabelled(x, std::move(shape), expiring);
}

Result<Outputs> transpose_kernel(const op::Transpose& params, Inputs inputs) {
  WD_TRY(const FloatView x, data_input(inputs));
  const uint64_t rank = x.rank();
  std::vector<int64_t> perm;
  if (params.perm) {
    perm = *params.perm;
  } else {
    perm.resize(rank);
    for (uint64_t i = 0; i < rank; ++i) perm[i] = static_cast<int64_t>(rank - 1 - i);
  }

  std::vector<int64_t> sorted = perm;
  std::sort(sorted.begin(), sorted.end());
  bool valid = sorted.size() == rank;
  for (std::size_t i = 0; valid && i < sorted.size(); ++i) {
    valid = sorted[i] == static_cast<int64_t>(i);
  }
  if (!valid) return fail("Transpose with a malformed perm");

  const std::vector<uint64_t> axes(perm.begin(), perm.end());
  return single(permute_axes(x, axes));
}

Result<Outputs> slice_kernel(const op::Slice&, Inputs inputs) {
  WD_TRY(const FloatView x, data_input(inputs));
  const uint64_t rank = x.rank();
  WD_TRY(const std::span<const int64_t> starts, integer_input(inputs, 1));
  WD_TRY(const std::span<const int64_t> ends, integer_input(inputs, 2));
  const std::size_t n = starts.size();

  WD_TRY(const std::optional<std::span<const int64_t>> given_axes,
         optional_integer_input(inputs, 3));
  std::vector<uint64_t> axes;
  if (given_axes) {
    WD_TRY(axes, normalize_axes(*given_axes, rank));
  } else {
    axes.resize(n);
    std::iota(axes.begin(), axes.end(), uint64_t{0});
  }
  WD_TRY(const std::optional<std::span<const int64_t>> given_steps,
         optional_integer_input(inputs, 4));
  std::vector<int64_t> steps;
  if (given_steps) {
    steps.assign(given_steps->begin(), given_steps->end());
  } else {
    steps.assign(n, 1);
  }
  if (ends.size() != n || axes.size() != n || steps.size() != n) {
    return fail("Slice with lists of different lengths");
  }

  // Each listed axis narrows the view left by the earlier ones, so an axis listed
  // twice slices the first slice and never reaches outside X. Arithmetic on the
  // model's values is done in 128 bits, where none of it can overflow.
  Shape shape = x.dims();
  std::vector<int64_t> view_strides = signed_strides(shape);
  __int128 offset = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t a = axes[i];
    if (a >= rank) return axis_failure(static_cast<int64_t>(a), rank);
    const __int128 step = steps[i];
    if (step == 0) return fail("Slice with a zero step");
    const __int128 d = shape[a];
    __int128 begin = starts[i];
    __int128 end = ends[i];
    if (begin < 0) begin += d;
    if (end < 0) end += d;

    __int128 size = 0;
    if (step > 0) {
      begin = std::clamp<__int128>(begin, 0, d);
      end = std::clamp<__int128>(end, 0, d);
      if (begin < end) size = (end - begin + step - 1) / step;
    } else if (d == 0) {
      begin = 0;
    } else {
      begin = std::clamp<__int128>(begin, 0, d - 1);
      end = std::clamp<__int128>(end, -1, d - 1);
      if (begin > end) size = (begin - end - step - 1) / -step;
    }

    const __int128 stride = view_strides[a];
    shape[a] = static_cast<uint64_t>(size);
    offset += begin * stride;
    // With fewer than two elements the axis is never stepped along; with two or
    // more, |step| is below d and the product stays inside X.
    view_strides[a] = size < 2 ? 0 : static_cast<int64_t>(step * stride);
  }

  WD_TRY(const uint64_t count, checked_element_count(shape));
  std::vector<float> data =
      gather_strided(x.data, shape, count == 0 ? 0 : static_cast<int64_t>(offset), view_strides);
  return single(Tensor::floats(std::move(shape), std::move(data)));
}

Result<Outputs> split_kernel(const op::Split& params, Inputs inputs) {
  WD_TRY(const FloatView x, data_input(inputs));
  WD_TRY(const uint64_t a, indexed_axis(params.axis, x.rank()));
  const uint64_t n = params.parts;
  const uint64_t extent = x.dims()[a];

  WD_TRY(const std::optional<std::span<const int64_t>> given, optional_integer_input(inputs, 1));
  std::vector<uint64_t> sizes;
  if (!given) {
    if (n == 0) return fail("Split into no parts");
    if (extent % n != 0) return fail("Split into uneven parts");
    sizes.assign(n, extent / n);
  } else {
    bool adds_up = given->size() == n;
    uint64_t total = 0;
    for (const int64_t size : *given) {
      adds_up = adds_up && size >= 0 &&
                !__builtin_add_overflow(total, static_cast<uint64_t>(size), &total);
      sizes.push_back(static_cast<uint64_t>(size));
    }
    if (!adds_up || total != extent) return fail("Split sizes that do not add up");
  }

  const std::vector<int64_t> steps = signed_strides(x.dims());
  Outputs parts;
  parts.reserve(sizes.size());
  uint64_t position = 0;
  for (const uint64_t size : sizes) {
    Shape shape = x.dims();
    shape[a] = size;
    const int64_t offset = size == 0 ? 0 : static_cast<int64_t>(position * steps[a]);
    std::vector<float> data = gather_strided(x.data, shape, offset, steps);
    parts.push_back(Tensor::floats(std::move(shape), std::move(data)));
    position += size;
  }
  return parts;
}

Result<Outputs> squeeze_kernel(const op::Squeeze&, Inputs inputs, Tensor* expiring) {
  WD_TRY(const FloatView x, data_input(inputs));
  const uint64_t rank = x.rank();
  WD_TRY(const std::optional<std::span<const int64_t>> given, optional_integer_input(inputs, 1));

  Shape shape;
  if (!given) {
    std::copy_if(x.dims().begin(), x.dims().end(), std::back_inserter(shape),
                 [](uint64_t size) { return size != 1; });
    return relabelled(x, std::move(shape), expiring);
  }
  if (rank == 0 && !given->empty()) return axis_failure(given->front(), rank);
  WD_TRY(const std::vector<uint64_t> axes, normalize_axes(*given, rank));
  std::vector<bool> removed(rank, false);
  for (const uint64_t axis : axes) {
    if (x.dims()[axis] != 1) return fail("Squeeze of a dimension that is not 1");
    removed[axis] = true;
  }
  for (uint64_t i = 0; i < rank; ++i) {
    if (!removed[i]) shape.push_back(x.dims()[i]);
  }
  return relabelled(x, std::move(shape), expiring);
}

Result<Outputs> unsqueeze_kernel(const op::Unsqueeze&, Inputs inputs, Tensor* expiring) {
  WD_TRY(const FloatView x, data_input(inputs));
  WD_TRY(const std::span<const int64_t> given, integer_input(inputs, 1));
  // The shape is a buffer like the data and stays within the same bound, though a
  // chain of Unsqueezes sharing one axes list lengthens it at every step.
  if (given.size() > kMaxElements - x.rank()) return fail("Unsqueeze to too many dimensions");
  const uint64_t rank = x.rank() + given.size();
  WD_TRY(std::vector<uint64_t> axes, normalize_axes(given, rank));
  std::sort(axes.begin(), axes.end());

  Shape shape;
  shape.reserve(rank);
  auto next_axis = axes.begin();
  auto next_size = x.dims().begin();
  for (uint64_t position = 0; position < rank; ++position) {
    bool inserted = false;
    while (next_axis != axes.end() && *next_axis == position) {
      inserted = true;
      ++next_axis;
    }
    if (inserted || next_size == x.dims().end()) {
      shape.push_back(1);
    } else {
      shape.push_back(*next_size++);
    }
  }
  return relabelled(x, std::move(shape), expiring);
}

Result<Outputs> concat_kernel(const op::Concat& params, Inputs inputs) {
  std::vector<FloatView> parts;
  parts.reserve(inputs.size());
  for (const Tensor* tensor : inputs) {
    if (tensor == nullptr) return fail("Concat input missing");
    WD_TRY(const FloatView part, as_floats(*tensor));
    parts.push_back(part);
  }
  if (parts.empty()) return fail("Concat of nothing");

  const Shape& first = parts.front().dims();
  WD_TRY(const uint64_t a, indexed_axis(params.axis, first.size()));
  Shape shape = first;
  shape[a] = 0;
  for (const FloatView& part : parts) {
    const Shape& dims = part.dims();
    bool matches = dims.size() == first.size();
    for (std::size_t i = 0; matches && i < dims.size(); ++i) {
      matches = i == a || dims[i] == first[i];
    }
    if (!matches) return fail("Concat of " + shape_text(first) + " and " + shape_text(dims));
    // A sum past 64 bits saturates, which the element limit below refuses.
    if (__builtin_add_overflow(shape[a], dims[a], &shape[a])) shape[a] = UINT64_MAX;
  }
  WD_TRY(const uint64_t count, checked_element_count(shape));

  // Empty parts add nothing to any block; left in, the walk below could take blocks
  // times parts steps that copy nothing, far beyond the count of the result.
  std::erase_if(parts, [](const FloatView& part) { return part.data.empty(); });
  const uint64_t blocks =
      parts.empty() ? 0 : element_count(Shape(first.begin(), first.begin() + a));
  // Every value is appended exactly once: the list is reserved, not zero-filled.
  std::vector<float> data;
  data.reserve(count);
  for (uint64_t j = 0; j < blocks; ++j) {
    for (const FloatView& part : parts) {
      const uint64_t block = part.data.size() / blocks;
      const float* start = part.data.data() + j * block;
      data.insert(data.end(), start, start + block);
    }
  }
  return single(Tensor::floats(std::move(shape), std::move(data)));
}

Result<Outputs> flatten_kernel(const op::Flatten& params, Inputs inputs, Tensor* expiring) {
  WD_TRY(const FloatView x, data_input(inputs));
  const uint64_t rank = x.rank();
  uint64_t a = 0;
  if (params.axis >= 0) {
    a = static_cast<uint64_t>(params.axis);
    if (a > rank) return fail("Flatten with a malformed axis");
  } else {
    const uint64_t distance = static_cast<uint64_t>(-(params.axis + 1)) + 1;
    if (distance > rank) return fail("Flatten with a malformed axis");
    a = rank - distance;
  }
  // Only an empty X can have a leading product past 64 bits, and then the product
  // wraps to a value that leaves the result empty as well.
  const uint64_t rows = element_count(Shape(x.dims().begin(), x.dims().begin() + a));
  const uint64_t count = x.data.size();
  return relabelled(x, Shape{rows, count / (rows == 0 ? 1 : rows)}, expiring);
}

Result<Outputs> gather_kernel(const op::Gather& params, Inputs inputs) {
  WD_TRY(const FloatView x, data_input(inputs));
  const Shape& dims = x.dims();
  WD_TRY(const uint64_t a, indexed_axis(params.axis, dims.size()));
  WD_TRY(const Tensor* indices_tensor, input(inputs, 1));
  if (indices_tensor->type == ElementType::F32) return fail("Gather with float indices");
  const std::span<const int64_t> indices = indices_tensor->i64;
  // The indices' axes take the place of one axis of X: the shape, a buffer like the
  // data, stays within the same bound.
  if (indices_tensor->shape.size() > kMaxElements - (dims.size() - 1)) {
    return fail("Gather into too many dimensions");
  }

  const uint64_t outer = element_count(Shape(dims.begin(), dims.begin() + a));
  const uint64_t inner = element_count(Shape(dims.begin() + a + 1, dims.end()));
  const uint64_t extent = dims[a];

  // Every outer block checks the same indices in the same order, so checking them
  // once up front reports the same first failure.
  std::vector<uint64_t> positions;
  if (outer != 0) {
    positions.reserve(indices.size());
    for (const int64_t index : indices) {
      const __int128 position = index < 0 ? __int128{index} + extent : __int128{index};
      if (position < 0 || position >= extent) return fail("Gather index out of range");
      positions.push_back(static_cast<uint64_t>(position));
    }
  }

  Shape shape(dims.begin(), dims.begin() + a);
  shape.insert(shape.end(), indices_tensor->shape.begin(), indices_tensor->shape.end());
  shape.insert(shape.end(), dims.begin() + a + 1, dims.end());
  WD_TRY(const uint64_t count, checked_element_count(shape));

  // Every value is appended exactly once: the list is reserved, not zero-filled.
  std::vector<float> data;
  data.reserve(count);
  if (inner != 0) {
    for (uint64_t j = 0; j < outer; ++j) {
      for (const uint64_t position : positions) {
        const float* start = x.data.data() + (j * extent + position) * inner;
        data.insert(data.end(), start, start + inner);
      }
    }
  }
  return single(Tensor::floats(std::move(shape), std::move(data)));
}

}  // namespace wd
