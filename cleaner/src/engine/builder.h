// Turning a model file into an executable graph.
#pragma once

#include <cstdint>
#include <span>

#include "graph.h"
#include "onnx.h"
#include "result.h"

namespace wd {

// Decodes and builds: checks the model's interface, matches every node against the
// operator catalogue, gives values slots, folds constant operations and
// pre-transposes constant Gemm and GRU weights.
Result<Graph> load_graph(std::span<const uint8_t> bytes);
Result<Graph> build_graph(DecodedModel model);

// One node through the operator catalogue: its domain, its operator and the
// operator's attribute checks; the parameters of the operation it becomes.
Result<OpKind> build_op_kind(const Node& node);

}  // namespace wd
