#include "work.h"

#include <string>

namespace wd {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

uint64_t value_count(const Tensor& tensor) { return tensor.f32.size() + tensor.i64.size(); }

// The shape of input k, of at least `rank` axes. Called only after the kernel
// accepted its inputs, so a missing input or axis is a broken invariant.
const Shape& accepted_shape(Inputs inputs, uint64_t k, uint64_t rank) {
  if (k >= inputs.size() || inputs[k] == nullptr || inputs[k]->shape.size() < rank) {
    internal_fault("work of an operation its kernel did not accept");
  }
  return inputs[k]->shape;
}

uint64_t first_output_count(const Outputs& outputs) {
  if (outputs.empty()) internal_fault("work of an operation without outputs");
  return value_count(outputs[0]);
}

}  // namespace

uint64_t loop_work(std::initializer_list<uint64_t> sizes) {
  uint64_t product = 1;
  bool saturated = false;
  for (const uint64_t size : sizes) {
    if (size == 0) return 0;
    saturated = saturated || __builtin_mul_overflow(product, size, &product);
  }
  return saturated ? UINT64_MAX : product;
}

Status<> check_operation_work(std::string_view name, uint64_t work) {
  if (work > kMaxOperationWork) return fail(std::string(name) + " needs too much work");
  return Ok{};
}

uint64_t operation_work(const OpKind& kind, Inputs inputs, const Outputs& outputs) {
  // Each output value of a product costs one multiply-add per term of its sum.
  if (const auto* gemm = std::get_if<op::Gemm>(&kind)) {
    const Shape& a = accepted_shape(inputs, 0, 2);
    return loop_work({first_output_count(outputs), a[gemm->transA ? 0 : 1]});
  }
  if (std::holds_alternative<op::MatMul>(kind)) {
    return loop_work({first_output_count(outputs), accepted_shape(inputs, 0, 2).back()});
  }
  if (std::holds_alternative<op::Conv>(kind)) {
    const Shape& f = accepted_shape(inputs, 1, 4);
    return loop_work({first_output_count(outputs), f[1], f[2], f[3]});
  }
  if (const auto* gru = std::get_if<op::Gru>(&kind)) {
    // Three gates per hidden value of every step, each fed by the input and the
    // previous hidden vector.
    const uint64_t hidden = static_cast<uint64_t>(gru->hidden_size);
    return loop_work(
        {first_output_count(outputs), 3, saturating_add(accepted_shape(inputs, 0, 3)[2], hidden)});
  }
  uint64_t work = 0;
  for (const Tensor* tensor : inputs) {
    if (tensor != nullptr) work = saturating_add(work, value_count(*tensor));
  }
  for (const Tensor& tensor : outputs) work = saturating_add(work, value_count(tensor));
  return work;
}

bool WorkBudget::spend(uint64_t work) {
  spent_ = saturating_add(spent_, work);
  return spent_ <= bound_;
}

}  // namespace wd
