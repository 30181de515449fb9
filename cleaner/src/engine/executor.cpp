#include "executor.h"

#include <algorithm>
#include <array>
#include <optional>
#include <type_traits>
#include <utility>

#include "work.h"

namespace wd {
namespace {

using KernelEntry = Result<Outputs> (*)(const OpKind&, Inputs, Tensor*);

// Kernels that cannot use an expiring input are not offered it.
template <typename Params, auto Kernel>
Result<Outputs> dispatch(const OpKind& kind, Inputs inputs, Tensor* expiring) {
  if constexpr (std::is_invocable_v<decltype(Kernel), const Params&, Inputs, Tensor*>) {
    return Kernel(std::get<Params>(kind), inputs, expiring);
  } else {
    return Kernel(std::get<Params>(kind), inputs);
  }
}

// One entry per operation kind, in the order of the OpKind variant.
constexpr std::array<KernelEntry, std::variant_size_v<OpKind>> kKernels = {
    dispatch<op::Unary, unary_kernel>,
    dispatch<op::Arithmetic, arithmetic_kernel>,
    dispatch<op::Reshape, reshape_kernel>,
    dispatch<op::Transpose, transpose_kernel>,
    dispatch<op::Slice, slice_kernel>,
    dispatch<op::Split, split_kernel>,
    dispatch<op::Squeeze, squeeze_kernel>,
    dispatch<op::Unsqueeze, unsqueeze_kernel>,
    dispatch<op::Concat, concat_kernel>,
    dispatch<op::Flatten, flatten_kernel>,
    dispatch<op::Gather, gather_kernel>,
    dispatch<op::ReduceSum, reduce_sum_kernel>,
    dispatch<op::Conv, conv_kernel>,
    dispatch<op::Gemm, gemm_kernel>,
    dispatch<op::MatMul, matmul_kernel>,
    dispatch<op::LayerNormalization, layer_normalization_kernel>,
    dispatch<op::Gru, gru_kernel>,
};

constexpr uint64_t kSpectrumValues = 322;

CleanError step_failure(std::string message) { return CleanError::other(std::move(message)); }

// One slot of the frame's value table.
struct FrameValue {
  std::optional<Tensor> tensor;
  // The position in the graph's operations of the last one that reads the slot; one
  // past the last operation for a graph output, which must survive them all.
  std::size_t last_read = 0;
};
using FrameTable = std::vector<FrameValue>;

FrameTable empty_frame_table(const Graph& graph) {
  FrameTable frame(graph.slot_count);
  for (std::size_t i = 0; i < graph.ops.size(); ++i) {
    for (const OptionalSlot& slot : graph.ops[i].inputs) {
      if (slot && *slot < frame.size()) frame[*slot].last_read = i;
    }
  }
  for (const Slot slot : graph.outputs) {
    if (slot < frame.size()) frame[slot].last_read = graph.ops.size();
  }
  return frame;
}

// A constant is seen before a run-time value of the same slot.
const Tensor* lookup(const Graph& graph, const FrameTable& frame, const OptionalSlot& slot) {
  if (!slot) return nullptr;
  if (*slot < graph.values.size() && graph.values[*slot]) return &*graph.values[*slot];
  if (*slot < frame.size() && frame[*slot].tensor) return &*frame[*slot].tensor;
  return nullptr;
}

// Input 0 of the operation at `position` when it is a value of this frame that no
// later operation reads and that no other input of this one names.
Tensor* expiring_input(FrameTable& frame, const Op& op, std::size_t position,
                       const std::vector<const Tensor*>& inputs) {
  if (op.inputs.empty() || !op.inputs[0] || *op.inputs[0] >= frame.size()) return nullptr;
  FrameValue& value = frame[*op.inputs[0]];
  if (!value.tensor || &*value.tensor != inputs[0] || value.last_read != position) return nullptr;
  if (std::find(op.inputs.begin() + 1, op.inputs.end(), op.inputs[0]) != op.inputs.end()) {
    return nullptr;
  }
  return &*value.tensor;
}

// Drops the values whose last reader is the operation at `position`, so that the
// operations after it reuse their memory while it is still in the cache.
void release_read_values(FrameTable& frame, const Op& op, std::size_t position) {
  for (const OptionalSlot& slot : op.inputs) {
    if (slot && *slot < frame.size() && frame[*slot].last_read == position) {
      frame[*slot].tensor.reset();
    }
  }
}

uint64_t value_count(const Tensor& tensor) { return tensor.f32.size() + tensor.i64.size(); }

Result<Tensor, CleanError> collect_output(const Graph& graph, FrameTable& frame, Slot slot) {
  std::optional<Tensor> found;
  if (slot < frame.size() && frame[slot].tensor) {
    found = std::move(frame[slot].tensor);
    frame[slot].tensor.reset();
  } else if (slot < graph.values.size() && graph.values[slot]) {
    found = *graph.values[slot];
  }
  if (!found || found->type != ElementType::F32) {
    return step_failure("an output was never computed");
  }
  return std::move(*found);
}

}  // namespace

Result<Outputs> evaluate_op(const OpKind& kind, Inputs inputs, Tensor* expiring) {
  if (expiring != nullptr && (inputs.empty() || inputs[0] != expiring)) {
    internal_fault("an expiring tensor that is not input 0");
  }
  return kKernels[kind.index()](kind, inputs, expiring);
}

Result<std::vector<float>, CleanError> model_step(const Graph& graph,
                                                  uint64_t expected_state_length,
                                                  std::span<const float> spectrum,
                                                  std::vector<float>& state) {
  // A spectrum of another length would make a tensor whose data does not match its
  // shape; the cleaning run never passes one.
  if (spectrum.size() != kSpectrumValues) internal_fault("a frame spectrum of the wrong length");
  std::vector<float> state_data = std::exchange(state, {});
  const uint64_t state_length = state_data.size();
  std::array<Tensor, 2> frame_inputs = {
      Tensor::floats({1, 1, 161, 2}, std::vector<float>(spectrum.begin(), spectrum.end())),
      Tensor::floats({state_length}, std::move(state_data)),
  };

  FrameTable frame = empty_frame_table(graph);
  for (std::size_t i = 0; i < graph.inputs.size() && i < frame_inputs.size(); ++i) {
    const Slot slot = graph.inputs[i];
    if (slot >= frame.size()) internal_fault("graph input slot out of range");
    frame[slot].tensor = std::move(frame_inputs[i]);
  }

  // The values of the frame are counted as if every one were kept until the frame
  // ends, so together they are held to the bound of one tensor, their sizes counted
  // with their values: a small graph must not keep many just under it, nor many
  // shapes of a great many axes. Their work is bounded together too, as many
  // operations each within the bound of one could add up to hours per frame.
  uint64_t computed_count = 0;
  WorkBudget frame_work;
  std::vector<const Tensor*> op_inputs;
  for (std::size_t position = 0; position < graph.ops.size(); ++position) {
    const Op& op = graph.ops[position];
    op_inputs.clear();
    for (const OptionalSlot& slot : op.inputs) op_inputs.push_back(lookup(graph, frame, slot));
    Tensor* expiring = expiring_input(frame, op, position, op_inputs);
    const uint64_t expiring_count = expiring ? value_count(*expiring) : 0;
    Result<Outputs> results = evaluate_op(op.kind, op_inputs, expiring);
    if (!results) return step_failure(std::move(results).error().message);
    // Values a kernel took over from the expiring input were read all the same.
    uint64_t work = operation_work(op.kind, op_inputs, *results);
    if (expiring && __builtin_add_overflow(work, expiring_count - value_count(*expiring), &work)) {
      work = UINT64_MAX;
    }
    if (!frame_work.spend(work)) {
      return step_failure("the frame's operations need too much work together");
    }
    // Released before the results are stored, so that a result written into the
    // slot it was computed from is kept like any other.
    release_read_values(frame, op, position);
    Outputs& produced = *results;
    for (std::size_t k = 0; k < produced.size() && k < op.outputs.size(); ++k) {
      const OptionalSlot& slot = op.outputs[k];
      if (!slot) continue;
      if (*slot >= frame.size()) internal_fault("operation output slot out of range");
      computed_count +=
          produced[k].f32.size() + produced[k].i64.size() + produced[k].shape.size();
      if (computed_count > kMaxElements) {
        return step_failure("the frame's values hold too many values together");
      }
      frame[*slot].tensor = std::move(produced[k]);
    }
  }

  std::vector<Tensor> collected;
  collected.reserve(graph.outputs.size());
  for (const Slot slot : graph.outputs) {
    WD_TRY(Tensor tensor, collect_output(graph, frame, slot));
    collected.push_back(std::move(tensor));
  }
  if (collected.empty()) return step_failure("the model gave no state");
  if (collected.size() == 1) return step_failure("the model gave no output");
  Tensor& next_state = collected.back();
  Tensor& spectrum_out = collected[collected.size() - 2];
  if (next_state.f32.size() != expected_state_length ||
      spectrum_out.f32.size() != kSpectrumValues) {
    return step_failure("the model's outputs have the wrong size");
  }
  state = std::move(next_state.f32);
  return std::move(spectrum_out.f32);
}

}  // namespace wd
