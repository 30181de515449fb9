#include <optional>

#include "kernels.h"
#include "product.h"
#include "work.h"

namespace wd {
namespace {

// Matrix `index` of a flat list of rows x cols matrices. The shapes the callers derive
// these from always lie inside the data; a slice outside it would be a broken tensor
// invariant.
std::span<const float> matrix(std::span<const float> data, uint64_t index, uint64_t rows,
                              uint64_t cols) {
  uint64_t size = 0;
  if (__builtin_mul_overflow(rows, cols, &size) ||
      (size != 0 && index >= data.size() / size)) {
    internal_fault("matrix outside its batch");
  }
  return data.subspan(index * size, size);
}

// The one result, moved in: a braced list would copy the tensor out of the list.
Outputs single(Tensor tensor) {
  Outputs outputs;
  outputs.push_back(std::move(tensor));
  return outputs;
}

// Strides, in whole matrices, of an operand's batch axes against the broadcast batch
// shape: 0 on the axes the operand lacks or broadcasts.
std::vector<uint64_t> batch_strides(const Shape& own, const Shape& batch) {
  const uint64_t pad = batch.size() - own.size();
  std::vector<uint64_t> stride(batch.size(), 0);
  uint64_t step = 1;
  for (uint64_t axis = batch.size(); axis-- > pad;) {
    const uint64_t size = own[axis - pad];
    stride[axis] = size == 1 ? 0 : step;
    step *= size;
  }
  return stride;
}

}  // namespace

Result<Outputs> gemm_kernel(const op::Gemm& params, Inputs inputs) {
  WD_TRY(const Tensor* a_tensor, input(inputs, 0));
  WD_TRY(FloatView a, as_floats(*a_tensor));
  WD_TRY(const Tensor* b_tensor, input(inputs, 1));
  WD_TRY(FloatView b, as_floats(*b_tensor));
  if (a.rank() != 2 || b.rank() != 2) return fail("Gemm of something other than matrices");

  std::optional<Tensor> a_swapped;
  if (params.transA) {
    WD_TRY(a_swapped, swap_last_axes(a));
    a = FloatView{&a_swapped->shape, a_swapped->f32};
  }
  std::optional<Tensor> b_swapped;
  if (params.transB) {
    WD_TRY(b_swapped, swap_last_axes(b));
    b = FloatView{&b_swapped->shape, b_swapped->f32};
  }

  const uint64_t m = a.dims()[0];
  const uint64_t k = a.dims()[1];
  if (b.dims()[0] != k) return fail("Gemm with mismatched sizes");
  const uint64_t n = b.dims()[1];

  Shape shape = {m, n};
  WD_TRY(const uint64_t count, checked_element_count(shape));
  WD_CHECK(check_operation_work("Gemm", loop_work({m, k, n})));
  std::vector<float> y(count, 0.0f);
  accumulate_product(a.data, b.data, m, k, n, y, params.b_panels);
  if (!(params.alpha == 1.0f)) {
    for (float& value : y) value = value * params.alpha;
  }
  Tensor product = Tensor::floats(std::move(shape), std::move(y));

  if (inputs.size() < 3 || inputs[2] == nullptr) return single(std::move(product));
  WD_TRY(FloatView c, as_floats(*inputs[2]));
  std::vector<float> scaled(c.data.size());
  for (uint64_t i = 0; i < scaled.size(); ++i) scaled[i] = c.data[i] * params.beta;
  const Tensor c_scaled = Tensor::floats(c.dims(), std::move(scaled));
  // The sum's shape is settled before the sum is formed, so that a bias larger than
  // the output is refused without building the larger result.
  WD_TRY(const Shape sum_shape, broadcast_shapes(product.shape, c_scaled.shape));
  if (sum_shape != product.shape) return fail("Gemm with a bias larger than its output");
  WD_TRY(Tensor sum, broadcast_apply(FloatView{&product.shape, product.f32},
                                     FloatView{&c_scaled.shape, c_scaled.f32},
                                     BinaryFunction::Add, &product));
  return single(std::move(sum));
}

Result<Outputs> matmul_kernel(const op::MatMul& params, Inputs inputs) {
  WD_TRY(const Tensor* a_tensor, input(inputs, 0));
  WD_TRY(FloatView a, as_floats(*a_tensor));
  WD_TRY(const Tensor* b_tensor, input(inputs, 1));
  WD_TRY(FloatView b, as_floats(*b_tensor));
  if (a.rank() < 2 || b.rank() < 2) return fail("MatMul of a vector");

  const Shape& a_shape = a.dims();
  const Shape& b_shape = b.dims();
  const uint64_t k = a_shape[a_shape.size() - 1];
  if (b_shape[b_shape.size() - 2] != k) {
    return fail("MatMul of " + shape_text(a_shape) + " and " + shape_text(b_shape));
  }
  const uint64_t m = a_shape[a_shape.size() - 2];
  const uint64_t n = b_shape[b_shape.size() - 1];

  const Shape a_batch(a_shape.begin(), a_shape.end() - 2);
  const Shape b_batch(b_shape.begin(), b_shape.end() - 2);
  WD_TRY(Shape shape, broadcast_shapes(a_batch, b_batch));
  const Shape batch = shape;
  shape.push_back(m);
  shape.push_back(n);
  WD_TRY(const uint64_t count, checked_element_count(shape));
  // count covers the batch positions, the rows and the columns of the output.
  WD_CHECK(check_operation_work("MatMul", loop_work({count, k})));
  std::vector<float> y(count, 0.0f);
  // Nothing to compute: the batch walk is skipped, however many positions it has.
  if (count == 0) return single(Tensor::floats(std::move(shape), std::move(y)));

  // Walks the output batch positions in row-major order, carrying the index of the A
  // and the B matrix that each one reads.
  const std::vector<uint64_t> a_stride = batch_strides(a_batch, batch);
  const std::vector<uint64_t> b_stride = batch_strides(b_batch, batch);
  std::vector<uint64_t> position(batch.size(), 0);
  uint64_t ia = 0;
  uint64_t ib = 0;
  const std::span<float> out(y);
  const uint64_t positions = count / (m * n);
  for (uint64_t q = 0; q < positions; ++q) {
    accumulate_product(matrix(a.data, ia, m, k), matrix(b.data, ib, k, n), m, k, n,
                       out.subspan(q * m * n, m * n), params.b_panels);
    for (uint64_t axis = batch.size(); axis-- > 0;) {
      ia += a_stride[axis];
      ib += b_stride[axis];
      if (++position[axis] < batch[axis]) break;
      ia -= a_stride[axis] * batch[axis];
      ib -= b_stride[axis] * batch[axis];
      position[axis] = 0;
    }
  }
  return single(Tensor::floats(std::move(shape), std::move(y)));
}

}  // namespace wd
