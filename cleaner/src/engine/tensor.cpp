#include "tensor.h"

#include <math.h>

#include <algorithm>

namespace wd {

Tensor Tensor::floats(Shape shape, std::vector<float> data) {
  return Tensor{ElementType::F32, std::move(shape), std::move(data), {}};
}

Tensor Tensor::int64s(Shape shape, std::vector<int64_t> data) {
  return Tensor{ElementType::I64, std::move(shape), {}, std::move(data)};
}

uint64_t element_count(const Shape& shape) {
  uint64_t count = 1;
  for (const uint64_t size : shape) count *= size;
  return count;
}

Result<uint64_t> checked_element_count(const Shape& shape) {
  // The bound applies to the product of the non-zero sizes: an empty tensor of
  // shape [0, 2^40] holds nothing, yet its strides and the loops of the kernels
  // that walk its other axes would be as large as those of a full one.
  uint64_t bound = 1;
  bool empty = false;
  for (const uint64_t size : shape) {
    empty = empty || size == 0;
    if (size != 0 && (__builtin_mul_overflow(bound, size, &bound) || bound > kMaxElements)) {
      return fail(shape_text(shape) + " holds too many values");
    }
  }
  return empty ? uint64_t{0} : bound;
}

std::vector<uint64_t> strides(const Shape& shape) {
  std::vector<uint64_t> result(shape.size());
  uint64_t stride = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    result[i] = stride;
    stride *= shape[i];
  }
  return result;
}

std::string shape_text(const Shape& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  text += "]";
  return text;
}

Result<FloatView> as_floats(const Tensor& tensor) {
  if (tensor.type != ElementType::F32) return fail("int64 values where floats were expected");
  return FloatView{&tensor.shape, tensor.f32};
}

Result<std::span<const int64_t>> as_int64s(const Tensor& tensor) {
  if (tensor.type != ElementType::I64) return fail("floats where int64 values were expected");
  return std::span<const int64_t>(tensor.i64);
}

Result<const Tensor*> input(Inputs inputs, uint64_t k) {
  if (k >= inputs.size() || inputs[k] == nullptr) {
    return fail("input " + std::to_string(k) + " is missing");
  }
  return inputs[k];
}

Result<uint64_t> normalize_axis(int64_t axis, uint64_t rank) {
  const uint64_t bound = rank == 0 ? 1 : rank;
  if (axis >= 0) {
    if (static_cast<uint64_t>(axis) < bound) return static_cast<uint64_t>(axis);
  } else {
    // -(axis + 1) cannot overflow, even for the minimum 64-bit value.
    const uint64_t distance = static_cast<uint64_t>(-(axis + 1)) + 1;
    if (distance <= rank) return rank - distance;
  }
  return fail("axis " + std::to_string(axis) + " for rank " + std::to_string(rank));
}

Result<std::vector<uint64_t>> normalize_axes(std::span<const int64_t> axes, uint64_t rank) {
  std::vector<uint64_t> result;
  result.reserve(axes.size());
  for (const int64_t axis : axes) {
    WD_TRY(const uint64_t normalized, normalize_axis(axis, rank));
    result.push_back(normalized);
  }
  return result;
}

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b) {
  const std::size_t rank = std::max(a.size(), b.size());
  const std::size_t pad_a = rank - a.size();
  const std::size_t pad_b = rank - b.size();
  Shape result(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    const uint64_t size_a = i < pad_a ? 1 : a[i - pad_a];
    const uint64_t size_b = i < pad_b ? 1 : b[i - pad_b];
    if (size_a == size_b || size_b == 1) {
      result[i] = size_a;
    } else if (size_a == 1) {
      result[i] = size_b;
    } else {
      return fail(shape_text(a) + " and " + shape_text(b) + " do not broadcast");
    }
  }
  return result;
}

namespace {

template <BinaryFunction F>
inline float binary(float a, float b) {
  if constexpr (F == BinaryFunction::Add) {
    return a + b;
  } else if constexpr (F == BinaryFunction::Sub) {
    return a - b;
  } else if constexpr (F == BinaryFunction::Mul) {
    return a * b;
  } else if constexpr (F == BinaryFunction::Div) {
    return a / b;
  } else {
    // Squaring is exact where powf may round differently, and much cheaper.
    return b == 2.0f ? a * a : powf(a, b);
  }
}

// Rows are processed in fixed blocks so that the compiler vectorises the block
// loop at -O2. Each block of the operands is read into locals before any of it is
// written, so the output may be the first operand itself (a result written over a
// value nothing reads any more) without run-time overlap checks; no other overlap
// is ever asked for.
constexpr std::size_t kBlock = 8;

template <BinaryFunction F>
void row_with_row(const float* a, const float* b, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float x[kBlock];
    float y[kBlock];
    std::copy_n(a + i, kBlock, x);
    std::copy_n(b + i, kBlock, y);
    for (std::size_t k = 0; k < kBlock; ++k) out[i + k] = binary<F>(x[k], y[k]);
  }
  for (; i < n; ++i) out[i] = binary<F>(a[i], b[i]);
}

template <BinaryFunction F>
void row_with_value(const float* a, float b, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float x[kBlock];
    std::copy_n(a + i, kBlock, x);
    for (std::size_t k = 0; k < kBlock; ++k) out[i + k] = binary<F>(x[k], b);
  }
  for (; i < n; ++i) out[i] = binary<F>(a[i], b);
}

template <BinaryFunction F>
void value_with_row(float a, const float* b, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float y[kBlock];
    std::copy_n(b + i, kBlock, y);
    for (std::size_t k = 0; k < kBlock; ++k) out[i + k] = binary<F>(a, y[k]);
  }
  for (; i < n; ++i) out[i] = binary<F>(a, b[i]);
}

// The strides of `shape` padded on the left to `rank` axes, with 0 on every axis
// that is broadcast against a larger size of `target`.
std::vector<uint64_t> broadcast_strides(const Shape& shape, const Shape& target) {
  const std::size_t pad = target.size() - shape.size();
  const std::vector<uint64_t> own = strides(shape);
  std::vector<uint64_t> result(target.size(), 0);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == target[i + pad]) result[i + pad] = own[i];
  }
  return result;
}

template <BinaryFunction F>
Result<Tensor> apply(FloatView a, FloatView b, Tensor* a_tensor) {
  const float* da = a.data.data();
  const float* db = b.data.data();
  // a's shape is read only until its tensor is taken.
  const bool same_shapes = a.dims() == b.dims();
  if (same_shapes || (b.data.size() == 1 && b.rank() <= a.rank())) {
    Tensor out = a_tensor ? std::move(*a_tensor)
                          : Tensor::floats(a.dims(), std::vector<float>(a.data.size()));
    if (same_shapes) {
      row_with_row<F>(da, db, out.f32.data(), out.f32.size());
    } else {
      row_with_value<F>(da, db[0], out.f32.data(), out.f32.size());
    }
    return out;
  }
  if (a.data.size() == 1 && a.rank() <= b.rank()) {
    std::vector<float> out(b.data.size());
    value_with_row<F>(da[0], db, out.data(), out.size());
    return Tensor::floats(b.dims(), std::move(out));
  }

  WD_TRY(Shape shape, broadcast_shapes(a.dims(), b.dims()));
  WD_TRY(const uint64_t count, checked_element_count(shape));
  if (count == 0) return Tensor::floats(std::move(shape), {});

  // Equal shapes and single-element operands were handled above, so the result
  // has at least one axis.
  const std::size_t rank = shape.size();
  const std::vector<uint64_t> stride_a = broadcast_strides(a.dims(), shape);
  const std::vector<uint64_t> stride_b = broadcast_strides(b.dims(), shape);
  const uint64_t row = shape[rank - 1];
  const bool a_row = stride_a[rank - 1] == 1 || row == 1;
  const bool b_row = stride_b[rank - 1] == 1 || row == 1;
  Tensor out = a_tensor != nullptr && a.dims() == shape
                   ? std::move(*a_tensor)
                   : Tensor::floats(std::move(shape), std::vector<float>(count));
  const Shape& dims = out.shape;

  std::vector<uint64_t> index(rank - 1, 0);
  uint64_t offset_a = 0;
  uint64_t offset_b = 0;
  for (float* dest = out.f32.data(); dest != out.f32.data() + count; dest += row) {
    if (a_row && b_row) {
      row_with_row<F>(da + offset_a, db + offset_b, dest, row);
    } else if (a_row) {
      row_with_value<F>(da + offset_a, db[offset_b], dest, row);
    } else if (b_row) {
      value_with_row<F>(da[offset_a], db + offset_b, dest, row);
    } else {
      std::fill(dest, dest + row, binary<F>(da[offset_a], db[offset_b]));
    }
    for (std::size_t axis = rank - 1; axis-- > 0;) {
      offset_a += stride_a[axis];
      offset_b += stride_b[axis];
      if (++index[axis] < dims[axis]) break;
      offset_a -= stride_a[axis] * dims[axis];
      offset_b -= stride_b[axis] * dims[axis];
      index[axis] = 0;
    }
  }
  return out;
}

// Calls visit(offset) for every position of `shape` in row-major order (once for a
// shape of no axes) with the offset of that position under `strides`. Every size is
// at least 1. Offsets wrap modulo 2^64 rather than overflow: an axis of size 1 may
// carry any stride, since it is never multiplied by an index other than 0.
template <typename Visit>
void for_each_position(std::span<const uint64_t> shape, std::span<const int64_t> strides,
                       uint64_t offset, Visit visit) {
  std::vector<uint64_t> index(shape.size(), 0);
  while (true) {
    visit(offset);
    std::size_t axis = shape.size();
    while (axis-- > 0) {
      const uint64_t stride = static_cast<uint64_t>(strides[axis]);
      offset += stride;
      if (++index[axis] < shape[axis]) break;
      offset -= stride * shape[axis];
      index[axis] = 0;
    }
    if (axis == static_cast<std::size_t>(-1)) return;
  }
}

// How gather_strided reads a target shape: the first `walked` axes position by
// position, and under each position one run of `length` elements `step` apart. The
// run is the last axis, joined with the axes before it for as long as together they
// read one contiguous stretch of the source, so that a slab is one block copy.
struct Runs {
  std::size_t walked;
  uint64_t length;
  int64_t step;
};

Runs runs_of(const Shape& target, std::span<const int64_t> strides) {
  Runs runs{target.size() - 1, target.back(), target.back() == 1 ? 1 : strides.back()};
  if (runs.step != 1) return runs;
  while (runs.walked > 0 && (target[runs.walked - 1] == 1 ||
                             strides[runs.walked - 1] == static_cast<int64_t>(runs.length))) {
    --runs.walked;
    runs.length *= target[runs.walked];
  }
  return runs;
}

}  // namespace

float apply_binary(BinaryFunction f, float a, float b) {
  switch (f) {
    case BinaryFunction::Add:
      return binary<BinaryFunction::Add>(a, b);
    case BinaryFunction::Sub:
      return binary<BinaryFunction::Sub>(a, b);
    case BinaryFunction::Mul:
      return binary<BinaryFunction::Mul>(a, b);
    case BinaryFunction::Div:
      return binary<BinaryFunction::Div>(a, b);
    case BinaryFunction::Pow:
      return binary<BinaryFunction::Pow>(a, b);
  }
  internal_fault("unknown binary function");
}

Result<Tensor> broadcast_apply(FloatView a, FloatView b, BinaryFunction f, Tensor* a_tensor) {
  if (a_tensor != nullptr && (a.shape != &a_tensor->shape ||
                              a.data.data() != a_tensor->f32.data() ||
                              a.data.size() != a_tensor->f32.size())) {
    internal_fault("a tensor given up that is not the first operand's");
  }
  switch (f) {
    case BinaryFunction::Add:
      return apply<BinaryFunction::Add>(a, b, a_tensor);
    case BinaryFunction::Sub:
      return apply<BinaryFunction::Sub>(a, b, a_tensor);
    case BinaryFunction::Mul:
      return apply<BinaryFunction::Mul>(a, b, a_tensor);
    case BinaryFunction::Div:
      return apply<BinaryFunction::Div>(a, b, a_tensor);
    case BinaryFunction::Pow:
      return apply<BinaryFunction::Pow>(a, b, a_tensor);
  }
  internal_fault("unknown binary function");
}

std::vector<float> gather_strided(std::span<const float> source, const Shape& target,
                                  int64_t offset, std::span<const int64_t> strides) {
  if (strides.size() != target.size()) internal_fault("strided gather with mismatched strides");
  const Result<uint64_t> counted = checked_element_count(target);
  if (!counted) internal_fault("strided gather into an unchecked shape");
  const uint64_t count = *counted;
  // Every element is appended exactly once: the list is reserved, not zero-filled.
  std::vector<float> out;
  out.reserve(count);
  if (count == 0) return out;

  // The callers guarantee every index lies inside the source; a caller that broke
  // that would read outside it, so the extremes are checked once up front.
  __int128 lowest = offset;
  __int128 highest = offset;
  for (std::size_t i = 0; i < target.size(); ++i) {
    const __int128 reach = static_cast<__int128>(target[i] - 1) * strides[i];
    (reach < 0 ? lowest : highest) += reach;
  }
  if (lowest < 0 || highest >= static_cast<__int128>(source.size())) {
    internal_fault("strided gather outside its source");
  }

  if (target.empty()) {
    out.push_back(source[static_cast<uint64_t>(offset)]);
    return out;
  }
  const Runs runs = runs_of(target, strides);
  const uint64_t step = static_cast<uint64_t>(runs.step);
  for_each_position(std::span(target).first(runs.walked), strides.first(runs.walked),
                    static_cast<uint64_t>(offset), [&](uint64_t start) {
                      if (step == 1) {
                        const float* run = source.data() + start;
                        out.insert(out.end(), run, run + runs.length);
                      } else {
                        uint64_t at = start;
                        for (uint64_t j = 0; j < runs.length; ++j, at += step) {
                          out.push_back(source[at]);
                        }
                      }
                    });
  return out;
}

std::vector<int64_t> offset_table(const Shape& shape, std::span<const int64_t> strides) {
  if (strides.size() != shape.size()) internal_fault("offset table with mismatched strides");
  const Result<uint64_t> counted = checked_element_count(shape);
  if (!counted) internal_fault("offset table for an unchecked shape");
  std::vector<int64_t> table;
  table.reserve(*counted);
  if (*counted == 0) return table;
  if (shape.empty()) {
    table.push_back(0);
    return table;
  }
  const std::size_t walked = shape.size() - 1;
  const uint64_t row = shape.back();
  const uint64_t step = static_cast<uint64_t>(strides.back());
  for_each_position(std::span(shape).first(walked), strides.first(walked), 0,
                    [&](uint64_t start) {
                      uint64_t at = start;
                      for (uint64_t j = 0; j < row; ++j, at += step) {
                        table.push_back(static_cast<int64_t>(at));
                      }
                    });
  return table;
}

}  // namespace wd
