#include "tensor.h"

namespace wd {

Tensor Tensor::floats(Shape shape, std::vector<float> data) {
  return Tensor{ElementType::F32, std::move(shape), std::move(data), {}};
}

Tensor Tensor::int64s(Shape shape, std::vector<int64_t> data) {
  return Tensor{ElementType::I64, std::move(shape), {}, std::move(data)};
}

}  // namespace wd
