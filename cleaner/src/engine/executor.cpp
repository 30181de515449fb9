#include "executor.h"

#include <array>
#include <optional>
#include <utility>

#include "work.h"

namespace wd {
namespace {

using KernelEntry = Result<Outputs> (*)(const OpKind&, Inputs);

template <typename Params, Result<Outputs> (*Kernel)(const Params&, Inputs)>
Result<Outputs> dispatch(const OpKind& kind, Inputs inputs) {
  return Kernel(std::get<Params>(kind), inputs);
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

// A constant is seen before a run-time value of the same slot.
const Tensor* lookup(const Graph& graph, const std::vector<std::optional<Tensor>>& frame,
                     const OptionalSlot& slot) {
  if (!slot) return nullptr;
  if (*slot < graph.values.size() && graph.values[*slot]) return &*graph.values[*slot];
  if (*slot < frame.size() && frame[*slot]) return &*frame[*slot];
  return nullptr;
}

Result<Tensor, CleanError> collect_output(const Graph& graph,
                                          std::vector<std::optional<Tensor>>& frame, Slot slot) {
  std::optional<Tensor> found;
  if (slot < frame.size() && frame[slot]) {
    found = std::move(frame[slot]);
    frame[slot].reset();
  } else if (slot < graph.values.size() && graph.values[slot]) {
    found = *graph.values[slot];
  }
  if (!found || found->type != ElementType::F32) {
    return step_failure("an output was never computed");
  }
  return std::move(*found);
}

}  // namespace

Result<Outputs> evaluate_op(const OpKind& kind, Inputs inputs) {
  return kKernels[kind.index()](kind, inputs);
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

  std::vector<std::optional<Tensor>> frame(graph.slot_count);
  for (std::size_t i = 0; i < graph.inputs.size() && i < frame_inputs.size(); ++i) {
    const Slot slot = graph.inputs[i];
    if (slot >= frame.size()) internal_fault("graph input slot out of range");
    frame[slot] = std::move(frame_inputs[i]);
  }

  // Every value of the frame is kept until the frame ends, so together they are
  // held to the bound of one tensor, their sizes counted with their values: a small
  // graph must not keep many just under it, nor many shapes of a great many axes.
  // Their work is bounded together too, as many operations each within the bound of
  // one could add up to hours per frame.
  uint64_t computed_count = 0;
  WorkBudget frame_work;
  std::vector<const Tensor*> op_inputs;
  for (const Op& op : graph.ops) {
    op_inputs.clear();
    for (const OptionalSlot& slot : op.inputs) op_inputs.push_back(lookup(graph, frame, slot));
    Result<Outputs> results = evaluate_op(op.kind, op_inputs);
    if (!results) return step_failure(std::move(results).error().message);
    if (!frame_work.spend(operation_work(op.kind, op_inputs, *results))) {
      return step_failure("the frame's operations need too much work together");
    }
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
      frame[*slot] = std::move(produced[k]);
    }
  }

  std::vector<Tensor> collected;
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
