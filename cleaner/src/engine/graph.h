// The built graph: what the graph builder hands to the executor. Operations name
// their values by slot number only.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tensor.h"

namespace wd {

class RowPanels;  // product.h

// Index into the graph's value table.
using Slot = uint64_t;
using OptionalSlot = std::optional<Slot>;

enum class UnaryFunction { Identity, Relu, Sigmoid, Tanh, Sqrt, Log };
enum class GruDirection { Forward, Reverse, Bidirectional };

// One parameter record per operation kind, named after the ONNX attributes.
namespace op {
struct Unary {
  UnaryFunction function;
};
struct Arithmetic {
  BinaryFunction function;
};
struct Reshape {
  bool allowzero = false;
};
struct Transpose {
  std::optional<std::vector<int64_t>> perm;
};
struct Slice {};
struct Split {
  int64_t axis = 0;
  uint64_t parts = 0;  // the node's output count, empty-named outputs included
};
struct Squeeze {};
struct Unsqueeze {};
struct Concat {
  static constexpr int64_t kNoAxis = INT64_MIN;
  int64_t axis = kNoAxis;
};
struct Flatten {
  int64_t axis = 1;
};
struct Gather {
  int64_t axis = 0;
};
struct ReduceSum {
  bool keepdims = true;
  bool noop_with_empty_axes = false;
};
struct Conv {
  int64_t group = 1;                          // at least 1
  std::array<int64_t, 2> strides{1, 1};       // height, width; positive
  std::array<int64_t, 2> dilations{1, 1};     // height, width; positive
  std::array<int64_t, 4> pads{0, 0, 0, 0};    // h begin, w begin, h end, w end
};
struct Gemm {
  float alpha = 1.0f;
  float beta = 1.0f;
  bool transA = false;
  bool transB = false;
  // A constant B as set out at load time for single-row products (held by the
  // graph); null otherwise.
  const RowPanels* b_panels = nullptr;
};
struct MatMul {
  // A constant two-dimensional B as set out at load time (held by the graph); null
  // otherwise.
  const RowPanels* b_panels = nullptr;
};
struct LayerNormalization {
  int64_t axis = -1;
  float epsilon = 1e-5f;
};
struct Gru {
  GruDirection direction = GruDirection::Forward;
  int64_t hidden_size = 1;  // at least 1
  // Set when W and R were transposed at load time to [directions, input, 3 * hidden]
  // and [directions, hidden, 3 * hidden].
  bool weights_transposed = false;
  // Per direction, the transposed constant W and R as set out at load time for the
  // single-row products of each step (held by the graph); null otherwise.
  std::array<const RowPanels*, 2> w_panels = {};
  std::array<const RowPanels*, 2> r_panels = {};
};
}  // namespace op

// The variant's index is the operation kind's number; the executor dispatches on it.
using OpKind = std::variant<op::Unary, op::Arithmetic, op::Reshape, op::Transpose, op::Slice,
                            op::Split, op::Squeeze, op::Unsqueeze, op::Concat, op::Flatten,
                            op::Gather, op::ReduceSum, op::Conv, op::Gemm, op::MatMul,
                            op::LayerNormalization, op::Gru>;

struct Op {
  OpKind kind;
  std::vector<OptionalSlot> inputs;   // one per node input; empty for an absent input
  std::vector<OptionalSlot> outputs;  // one per node output; empty for an absent output
};

struct Graph {
  // One entry per slot: filled for constants, empty for per-frame values.
  std::vector<std::optional<Tensor>> values;
  // Operations left after folding, in the file order of their nodes.
  std::vector<Op> ops;
  std::vector<Slot> inputs;   // "spec", "state_in"
  std::vector<Slot> outputs;  // "spec_e", "state_out"
  uint64_t slot_count = 0;
  // Constant weights set out for the kernels; the operations point into these.
  std::vector<std::shared_ptr<const RowPanels>> panels;
  std::map<std::string, std::string> metadata;
};

}  // namespace wd
