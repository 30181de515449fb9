// The operator kernels, one per operation kind, in the form the executor calls:
// the operation's parameters and its input list in, the output tensors or a failure
// message out. Kernels never see slots or names.
#pragma once

#include <vector>

#include "graph.h"
#include "result.h"
#include "tensor.h"

namespace wd {

using Outputs = std::vector<Tensor>;

// Element-wise (elementwise.cpp)
Result<Outputs> unary_kernel(const op::Unary& params, Inputs inputs);
Result<Outputs> arithmetic_kernel(const op::Arithmetic& params, Inputs inputs);

// Shape and indexing (shape_ops.cpp)
Result<Outputs> reshape_kernel(const op::Reshape& params, Inputs inputs);
Result<Outputs> transpose_kernel(const op::Transpose& params, Inputs inputs);
Result<Outputs> slice_kernel(const op::Slice& params, Inputs inputs);
Result<Outputs> split_kernel(const op::Split& params, Inputs inputs);
Result<Outputs> squeeze_kernel(const op::Squeeze& params, Inputs inputs);
Result<Outputs> unsqueeze_kernel(const op::Unsqueeze& params, Inputs inputs);
Result<Outputs> concat_kernel(const op::Concat& params, Inputs inputs);
Result<Outputs> flatten_kernel(const op::Flatten& params, Inputs inputs);
Result<Outputs> gather_kernel(const op::Gather& params, Inputs inputs);

// Reduction (reduce.cpp)
Result<Outputs> reduce_sum_kernel(const op::ReduceSum& params, Inputs inputs);

// Convolution (conv.cpp)
Result<Outputs> conv_kernel(const op::Conv& params, Inputs inputs);

// Gemm and MatMul (gemm.cpp)
Result<Outputs> gemm_kernel(const op::Gemm& params, Inputs inputs);
Result<Outputs> matmul_kernel(const op::MatMul& params, Inputs inputs);

// LayerNormalization (layernorm.cpp)
Result<Outputs> layer_normalization_kernel(const op::LayerNormalization& params, Inputs inputs);

// GRU (gru.cpp)
Result<Outputs> gru_kernel(const op::Gru& params, Inputs inputs);

// Axis permutation (shape_ops.cpp). perm holds rank distinct axes; not validated here.
Tensor permute_axes(FloatView x, std::span<const uint64_t> perm);
// The last two axes exchanged; fails with "a matrix with fewer than two dimensions".
Result<Tensor> swap_last_axes(FloatView x);

}  // namespace wd
