// Tensor, the engine's one value type, and the shape helpers every operator uses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.h"

namespace wd {

enum class ElementType { F32, I64 };

using Shape = std::vector<uint64_t>;

// No tensor or buffer of the engine holds more elements than this; a model that
// would need one is refused with a message instead of exhausting the memory of the
// process that loaded the library.
inline constexpr uint64_t kMaxElements = uint64_t{1} << 28;

// Multiply-adds of one operation and of all the operations of one folding or one
// frame (seconds of work; a speech model needs under 2^26 per operation and frame):
// a small model must not keep the process that loaded the library busy for hours.
inline constexpr uint64_t kMaxOperationWork = uint64_t{1} << 34;
inline constexpr uint64_t kMaxTotalWork = uint64_t{1} << 36;

// An owned, contiguous, row-major value. Invariant: the data list of the element
// type holds exactly element_count(shape) values; the other list is empty.
struct Tensor {
  ElementType type = ElementType::F32;
  Shape shape;
  std::vector<float> f32;
  std::vector<int64_t> i64;

  static Tensor floats(Shape shape, std::vector<float> data);
  static Tensor int64s(Shape shape, std::vector<int64_t> data);
};

// The shape and float data of a float tensor, borrowed read-only.
struct FloatView {
  const Shape* shape;
  std::span<const float> data;

  const Shape& dims() const { return *shape; }
  uint64_t rank() const { return shape->size(); }
};

// An operator's input list: one entry per input of the operation, null for an
// absent input or a value that has not been computed.
using Inputs = std::span<const Tensor* const>;

// Product of the sizes (1 for rank 0). Only for shapes already known to be valid.
uint64_t element_count(const Shape& shape);
// Product of the sizes, refused when the product of the non-zero sizes does not fit
// 64 bits or exceeds kMaxElements (so an empty shape cannot hide huge other sizes).
Result<uint64_t> checked_element_count(const Shape& shape);
std::vector<uint64_t> strides(const Shape& shape);
// "[1, 161, 2]"; "[]" for rank 0.
std::string shape_text(const Shape& shape);

Result<FloatView> as_floats(const Tensor& tensor);
Result<std::span<const int64_t>> as_int64s(const Tensor& tensor);
Result<const Tensor*> input(Inputs inputs, uint64_t k);

Result<uint64_t> normalize_axis(int64_t axis, uint64_t rank);
Result<std::vector<uint64_t>> normalize_axes(std::span<const int64_t> axes, uint64_t rank);

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b);

enum class BinaryFunction { Add, Sub, Mul, Div, Pow };
float apply_binary(BinaryFunction f, float a, float b);
// Element-wise f(a, b) under broadcasting; a is always the first operand. a_tensor,
// when given, is the tensor a views, which the caller gives up: a result of a's
// shape is then that tensor, written over in place, instead of a new one. The
// result is the same either way.
Result<Tensor> broadcast_apply(FloatView a, FloatView b, BinaryFunction f,
                               Tensor* a_tensor = nullptr);

std::vector<float> gather_strided(std::span<const float> source, const Shape& target,
                                  int64_t offset, std::span<const int64_t> strides);
std::vector<int64_t> offset_table(const Shape& shape, std::span<const int64_t> strides);

}  // namespace wd
