#include "model_check.h"

#include <cstdio>
#include <map>
#include <string>
#include <variant>

#include "graph.h"
#include "model_config.h"

namespace wrenpad_clean {
namespace {

constexpr int kModelError = 2;

const char* unary_name(wd::UnaryFunction function) {
  switch (function) {
    case wd::UnaryFunction::Identity: return "Identity";
    case wd::UnaryFunction::Relu: return "Relu";
    case wd::UnaryFunction::Sigmoid: return "Sigmoid";
    case wd::UnaryFunction::Tanh: return "Tanh";
    case wd::UnaryFunction::Sqrt: return "Sqrt";
    case wd::UnaryFunction::Log: return "Log";
  }
  return "Unary";
}

const char* arithmetic_name(wd::BinaryFunction function) {
  switch (function) {
    case wd::BinaryFunction::Add: return "Add";
    case wd::BinaryFunction::Sub: return "Sub";
    case wd::BinaryFunction::Mul: return "Mul";
    case wd::BinaryFunction::Div: return "Div";
    case wd::BinaryFunction::Pow: return "Pow";
  }
  return "Arithmetic";
}

// Indexed by the operation kind's number.
constexpr const char* kKindNames[] = {
    "Unary", "Arithmetic", "Reshape", "Transpose", "Slice", "Split", "Squeeze", "Unsqueeze",
    "Concat", "Flatten", "Gather", "ReduceSum", "Conv", "Gemm", "MatMul", "LayerNormalization",
    "GRU"};
static_assert(std::size(kKindNames) == std::variant_size_v<wd::OpKind>);

std::string operator_name(const wd::OpKind& kind) {
  if (const auto* unary = std::get_if<wd::op::Unary>(&kind)) return unary_name(unary->function);
  if (const auto* arithmetic = std::get_if<wd::op::Arithmetic>(&kind)) {
    return arithmetic_name(arithmetic->function);
  }
  return kKindNames[kind.index()];
}

}  // namespace

int check_model(const std::string& path) {
  auto loaded = wd::load_model(path);
  if (!loaded) {
    std::fprintf(stderr, "wrenpad-clean: model: %s\n", loaded.error().message.c_str());
    return kModelError;
  }
  const wd::Graph& graph = loaded->graph;

  std::map<std::string, size_t> operations;
  for (const wd::Op& op : graph.ops) ++operations[operator_name(op.kind)];

  size_t constant_count = 0;
  uint64_t constant_bytes = 0;
  for (const auto& value : graph.values) {
    if (!value) continue;
    ++constant_count;
    constant_bytes += value->f32.size() * sizeof(float) + value->i64.size() * sizeof(int64_t);
  }

  std::printf("model: %s\n", path.c_str());
  std::printf("metadata: accepted (16000 Hz, 320-sample frames, hop 160, 161 bins, vorbis)\n");
  std::printf("state size: %zu values\n", loaded->start_state.size());
  std::printf("operations after folding: %zu\n", graph.ops.size());
  for (const auto& [name, count] : operations) std::printf("  %-20s %zu\n", name.c_str(), count);
  std::printf("constants: %zu tensors, %llu bytes\n", constant_count,
              static_cast<unsigned long long>(constant_bytes));
  return 0;
}

}  // namespace wrenpad_clean
