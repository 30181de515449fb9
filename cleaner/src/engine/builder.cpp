// Building the executable graph from a decoded model: the interface check, slots
// for every value name, constant folding and pre-transposition of constant weights.
#include "builder.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "executor.h"
#include "product.h"
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

// Panels of constant weights for the fused single-row products, kept by the graph and
// held together to the bound of one tensor: many operations sharing one large weight,
// or weights of very few columns padded to a whole vector, must not multiply the model
// in memory. Past the bound, the kernels read the weights in their own layout.
class PanelBudget {
 public:
  explicit PanelBudget(std::vector<std::shared_ptr<const RowPanels>>& kept) : kept_(kept) {}

  const RowPanels* arrange(std::span<const float> b, uint64_t k, uint64_t n) {
    const uint64_t values = RowPanels::padded_values(k, n);
    if (values > left_) return nullptr;
    std::shared_ptr<const RowPanels> panels = RowPanels::arrange(b, k, n);
    if (!panels) return nullptr;
    left_ -= values;
    kept_.push_back(std::move(panels));
    return kept_.back().get();
  }

 private:
  std::vector<std::shared_ptr<const RowPanels>>& kept_;
  uint64_t left_ = kMaxElements;
};

const RowPanels* matrix_panels(const ValueTable& values, const OptionalSlot& slot,
                               PanelBudget& budget) {
  if (!holds_constant(values, slot)) return nullptr;
  const Result<FloatView> matrix = as_floats(*values[*slot]);
  if (!matrix || matrix->rank() != 2) return nullptr;
  return budget.arrange(matrix->data, matrix->dims()[0], matrix->dims()[1]);
}

// The panels of each direction's matrix of a transposed GRU weight, [directions, k, n];
// none when its shape does not have that form, which the kernel then refuses.
std::array<const RowPanels*, 2> direction_panels(const ValueTable& values, Slot slot,
                                                 const op::Gru& gru, PanelBudget& budget) {
  const uint64_t directions = gru.direction == GruDirection::Bidirectional ? 2 : 1;
  const Result<FloatView> matrices = as_floats(*values[slot]);
  if (!matrices || matrices->rank() != 3 || matrices->dims()[0] != directions) return {};
  const uint64_t k = matrices->dims()[1];
  const uint64_t n = matrices->dims()[2];
  std::array<const RowPanels*, 2> panels = {};
  for (uint64_t d = 0; d < directions; ++d) {
    panels[d] = budget.arrange(matrices->data.subspan(d * k * n, k * n), k, n);
  }
  return panels;
}

// Lets the per-frame kernels read constant Gemm, MatMul and GRU weights in the layout
// they prefer instead of transposing them on every frame.
Status<> prepare(Op& op, ValueTable& values, PanelBudget& budget) {
  if (auto* gemm = std::get_if<op::Gemm>(&op.kind)) {
    if (gemm->transB && op.inputs.size() > 1 && holds_constant(values, op.inputs[1])) {
      WD_CHECK(pretranspose(op, 1, values));
      gemm->transB = false;
    }
    if (!gemm->transB && op.inputs.size() > 1) {
      gemm->b_panels = matrix_panels(values, op.inputs[1], budget);
    }
  } else if (auto* matmul = std::get_if<op::MatMul>(&op.kind)) {
    if (op.inputs.size() > 1) matmul->b_panels = matrix_panels(values, op.inputs[1], budget);
  } else if (auto* gru = std::get_if<op::Gru>(&op.kind)) {
    if (!gru->weights_transposed && op.inputs.size() > 2 &&
        holds_constant(values, op.inputs[1]) && holds_constant(values, op.inputs[2])) {
      WD_CHECK(pretranspose(op, 1, values));
      WD_CHECK(pretranspose(op, 2, values));
      gru->weights_transposed = true;
    }
    if (gru->weights_transposed && op.inputs.size() > 2 &&
        holds_constant(values, op.inputs[1]) && holds_constant(values, op.inputs[2])) {
      gru->w_panels = direction_panels(values, *op.inputs[1], *gru, budget);
      gru->r_panels = direction_panels(values, *op.inputs[2], *gru, budget);
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
  PanelBudget panel_budget(graph.panels);
  for (Op& op : built) {
    bool constant = true;
    for (const OptionalSlot& slot : op.inputs) constant = constant && (!slot || values[*slot]);
    if (constant) {
      WD_CHECK(fold(op, values, folded_count, folding_work));
    } else {
      WD_CHECK(prepare(op, values, panel_budget));
      graph.ops.push_back(std::move(op));
    }
  }

  graph.slot_count = values.size();
  graph.metadata = std::move(model.metadata);
  return graph;
}

}  // namespace wd
