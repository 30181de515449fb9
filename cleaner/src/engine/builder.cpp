// Building the executable graph from a decoded model: the interface check, slots
// for every value name, constant folding and pre-transposition of constant weights.
#include "builder.h"

#include <cstdio>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "executor.h"
#include "kernels.h"
#include "work.h"

namespace wd {
namespace {

using ValueTable = std::vector<std::optional<Tensor>>;

// Slots are numbered from 0 in order of first appearance of a name.
class SlotNames {
 public:
  Slot slot(const std::string& name) {
    return slots_.try_emplace(name, slots_.size()).first->second;
  }
  OptionalSlot optional_slot(const std::string& name) {
    if (name.empty()) return std::nullopt;
    return slot(name);
  }
  bool contains(const std::string& name) const { return slots_.contains(name); }
  uint64_t count() const { return slots_.size(); }

 private:
  std::unordered_map<std::string, Slot> slots_;
};

void append_quoted(std::string& out, const std::string& name) {
  out += '"';
  for (const char c : name) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string name_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    append_quoted(out, names[i]);
  }
  out += "]";
  return out;
}

Status<> check_interface(const std::vector<std::string>& inputs,
                         const std::vector<std::string>& outputs) {
  const std::vector<std::string> expected_inputs = {"spec", "state_in"};
  const std::vector<std::string> expected_outputs = {"spec_e", "state_out"};
  if (inputs == expected_inputs && outputs == expected_outputs) return Ok{};
  return fail("a model with inputs " + name_list(inputs) + " and outputs " + name_list(outputs));
}

bool holds_constant(const ValueTable& values, const OptionalSlot& slot) {
  return slot && values[*slot].has_value();
}

// Evaluates an operation whose inputs are all constants and stores its results as
// constants. Folded results live as long as the graph, so together they are held to
// the bound of one tensor, their sizes counted with their values: a small file must
// not keep many tensors just under it, nor many shapes of a great many axes. Their
// work is bounded together as well, so that many operations each within the bound
// of one cannot add up to hours.
Status<> fold(const Op& op, ValueTable& values, uint64_t& folded_count, WorkBudget& work) {
  std::vector<const Tensor*> inputs;
  inputs.reserve(op.inputs.size());
  for (const OptionalSlot& slot : op.inputs) inputs.push_back(slot ? &*values[*slot] : nullptr);
  Result<Outputs> results = evaluate_op(op.kind, inputs);
  if (!results) return fail("folding: " + results.error().message);
  if (!work.spend(operation_work(op.kind, inputs, *results))) {
    return fail("folding: the operations need too much work together");
  }
  for (std::size_t k = 0; k < results->size() && k < op.outputs.size(); ++k) {
    if (!op.outputs[k]) continue;
    Tensor& result = (*results)[k];
    folded_count += result.f32.size() + result.i64.size() + result.shape.size();
    if (folded_count > kMaxElements) {
      return fail("folding: the constants hold too many values together");
    }
    values[*op.outputs[k]] = std::move(result);
  }
  return Ok{};
}

// Replaces the constant weight of input i by a copy with its last two axes swapped,
// in a new slot; the original stays for any other operation that reads it.
Status<> pretranspose(Op& op, std::size_t i, ValueTable& values) {
  WD_TRY(const FloatView weight, as_floats(*values[*op.inputs[i]]));
  WD_TRY(Tensor swapped, swap_last_axes(weight));
  values.emplace_back(std::move(swapped));
  op.inputs[i] = values.size() - 1;
  return Ok{};
}

// Lets the per-frame kernels read constant Gemm and GRU weights in the layout they
// prefer instead of transposing them on every frame.
Status<> prepare(Op& op, ValueTable& values) {
  if (auto* gemm = std::get_if<op::Gemm>(&op.kind)) {
    if (gemm->transB && op.inputs.size() > 1 && holds_constant(values, op.inputs[1])) {
      WD_CHECK(pretranspose(op, 1, values));
      gemm->transB = false;
    }
  } else if (auto* gru = std::get_if<op::Gru>(&op.kind)) {
    if (!gru->weights_transposed && op.inputs.size() > 2 &&
        holds_constant(values, op.inputs[1]) && holds_constant(values, op.inputs[2])) {
      WD_CHECK(pretranspose(op, 1, values));
      WD_CHECK(pretranspose(op, 2, values));
      gru->weights_transposed = true;
    }
  }
  return Ok{};
}

}  // namespace

Result<Graph> load_graph(std::span<const uint8_t> bytes) {
  WD_TRY(DecodedModel model, decode_model(bytes));
  return build_graph(std::move(model));
}

Result<Graph> build_graph(DecodedModel model) {
  Graph graph;
  SlotNames names;
  ValueTable& values = graph.values;

  for (Initializer& initializer : model.initializers) {
    const Slot slot = names.slot(initializer.name);
    if (values.size() <= slot) values.resize(slot + 1);
    values[slot] = std::move(initializer.tensor);
  }

  // An input that is also an initializer is a constant, not something fed per frame.
  std::vector<std::string> inputs;
  for (const std::string& name : model.input_names) {
    if (!names.contains(name)) inputs.push_back(name);
  }
  WD_CHECK(check_interface(inputs, model.output_names));
  for (const std::string& name : inputs) graph.inputs.push_back(names.slot(name));

  std::vector<Op> built;
  built.reserve(model.nodes.size());
  for (const Node& node : model.nodes) {
    WD_TRY(OpKind kind, build_op_kind(node));
    Op op{std::move(kind), {}, {}};
    for (const std::string& name : node.inputs) op.inputs.push_back(names.optional_slot(name));
    for (const std::string& name : node.outputs) op.outputs.push_back(names.optional_slot(name));
    built.push_back(std::move(op));
  }

  for (const std::string& name : model.output_names) graph.outputs.push_back(names.slot(name));
  values.resize(names.count());

  // In file order, so a chain of operations on constants folds in this one pass.
  uint64_t folded_count = 0;
  WorkBudget folding_work;
  for (Op& op : built) {
    bool constant = true;
    for (const OptionalSlot& slot : op.inputs) constant = constant && (!slot || values[*slot]);
    if (constant) {
      WD_CHECK(fold(op, values, folded_count, folding_work));
    } else {
      WD_CHECK(prepare(op, values));
      graph.ops.push_back(std::move(op));
    }
  }

  graph.slot_count = values.size();
  graph.metadata = std::move(model.metadata);
  return graph;
}

}  // namespace wd
