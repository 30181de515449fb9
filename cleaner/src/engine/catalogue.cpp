// The operator catalogue: which ONNX operators a model may use, which attributes
// each accepts, their defaults, and the checks that refuse a node before anything
// runs.
#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "builder.h"

namespace wd {
namespace {

// Typed access to one node's attributes, with the refusal texts every operator
// shares. The op_type in a message is the one written in the file.
class NodeReader {
 public:
  explicit NodeReader(const Node& node) : node_(node) {}

  const Node& node() const { return node_; }

  const AttributeValue* find(const std::string& name) const {
    const auto found = node_.attributes.find(name);
    return found == node_.attributes.end() ? nullptr : &found->second;
  }

  // Which of several unknown attributes is named depends on the map's order.
  Status<> only(const std::vector<std::string_view>& allowed) const {
    for (const auto& [name, value] : node_.attributes) {
      bool known = false;
      for (const std::string_view candidate : allowed) known = known || candidate == name;
      if (!known) return refuse(" with " + name);
    }
    return Ok{};
  }

  Result<int64_t> integer(const std::string& name, int64_t absent) const {
    const AttributeValue* value = find(name);
    if (!value) return absent;
    if (const int64_t* found = std::get_if<int64_t>(value)) return *found;
    return refuse(" has a malformed " + name);
  }

  Result<bool> flag(const std::string& name, bool absent) const {
    WD_TRY(const int64_t value, integer(name, absent ? 1 : 0));
    return value != 0;
  }

  Result<float> real(const std::string& name, float absent) const {
    const AttributeValue* value = find(name);
    if (!value) return absent;
    if (const float* found = std::get_if<float>(value)) return *found;
    return refuse(" has a malformed " + name);
  }

  Result<std::array<int64_t, 2>> pair(const std::string& name) const {
    const AttributeValue* value = find(name);
    if (!value) return std::array<int64_t, 2>{1, 1};
    const auto* list = std::get_if<std::vector<int64_t>>(value);
    if (list && list->size() == 2 && (*list)[0] > 0 && (*list)[1] > 0) {
      return std::array<int64_t, 2>{(*list)[0], (*list)[1]};
    }
    return refuse(" has a " + name + " that is not two-dimensional");
  }

  Failure refuse(const std::string& what) const { return fail(node_.op_type + what); }

 private:
  const Node& node_;
};

struct Operator {
  std::vector<std::string_view> allowed;
  std::function<Result<OpKind>(const NodeReader&)> build;
};

// An operator without attributes or parameters beyond its kind.
Operator fixed(OpKind kind) {
  return {{}, [kind](const NodeReader&) -> Result<OpKind> { return kind; }};
}

Result<OpKind> build_transpose(const NodeReader& node) {
  op::Transpose transpose;  // perm absent: the kernel reverses the axes
  if (const AttributeValue* perm = node.find("perm")) {
    const auto* list = std::get_if<std::vector<int64_t>>(perm);
    if (!list) return fail("Transpose has a malformed perm");
    transpose.perm = *list;
  }
  return OpKind{transpose};
}

Result<OpKind> build_conv(const NodeReader& node) {
  if (const AttributeValue* auto_pad = node.find("auto_pad")) {
    const auto* text = std::get_if<std::string>(auto_pad);
    if (!text || *text != "NOTSET") return fail("Conv with automatic padding");
  }
  op::Conv conv;
  conv.pads = {0, 0, 0, 0};
  if (const AttributeValue* pads = node.find("pads")) {
    const auto* list = std::get_if<std::vector<int64_t>>(pads);
    bool valid = list && list->size() == 4;
    for (std::size_t i = 0; valid && i < 4; ++i) {
      valid = (*list)[i] >= 0;
      if (valid) conv.pads[i] = (*list)[i];
    }
    if (!valid) return fail("Conv with padding that is not two-dimensional");
  }
  WD_TRY(conv.group, node.integer("group", 1));
  if (conv.group < 1) return fail("Conv with no groups");
  WD_TRY(conv.strides, node.pair("strides"));
  WD_TRY(conv.dilations, node.pair("dilations"));
  return OpKind{conv};
}

Result<OpKind> build_gemm(const NodeReader& node) {
  op::Gemm gemm;
  WD_TRY(gemm.alpha, node.real("alpha", 1.0f));
  WD_TRY(gemm.beta, node.real("beta", 1.0f));
  WD_TRY(gemm.transA, node.flag("transA", false));
  WD_TRY(gemm.transB, node.flag("transB", false));
  return OpKind{gemm};
}

Result<OpKind> build_layer_normalization(const NodeReader& node) {
  const std::vector<std::string>& outputs = node.node().outputs;
  for (std::size_t k = 1; k < outputs.size(); ++k) {
    if (!outputs[k].empty()) return fail("LayerNormalization with its statistics as outputs");
  }
  op::LayerNormalization norm;
  WD_TRY(norm.axis, node.integer("axis", -1));
  // The single-precision value nearest to 1e-5.
  WD_TRY(norm.epsilon, node.real("epsilon", std::bit_cast<float>(uint32_t{0x3727C5AC})));
  return OpKind{norm};
}

Result<OpKind> build_gru(const NodeReader& node) {
  constexpr const char* kUnsupportedForm = "a GRU other than linear-before-reset, sequence first";
  WD_TRY(const int64_t linear_before_reset, node.integer("linear_before_reset", 0));
  if (linear_before_reset != 1) return fail(kUnsupportedForm);
  WD_TRY(const int64_t layout, node.integer("layout", 0));
  if (layout != 0) return fail(kUnsupportedForm);
  op::Gru gru;
  gru.direction = GruDirection::Forward;
  if (const AttributeValue* direction = node.find("direction")) {
    const auto* text = std::get_if<std::string>(direction);
    if (text && *text == "forward") {
      gru.direction = GruDirection::Forward;
    } else if (text && *text == "reverse") {
      gru.direction = GruDirection::Reverse;
    } else if (text && *text == "bidirectional") {
      gru.direction = GruDirection::Bidirectional;
    } else {
      return fail("GRU with a malformed direction");
    }
  }
  WD_TRY(gru.hidden_size, node.integer("hidden_size", 0));
  if (gru.hidden_size < 1) return fail("GRU with no hidden size");
  const std::vector<std::string>& inputs = node.node().inputs;
  if (inputs.size() > 4 && !inputs[4].empty()) return fail("GRU with sequence lengths");
  gru.weights_transposed = false;
  return OpKind{gru};
}

const std::unordered_map<std::string_view, Operator>& catalogue() {
  static const std::unordered_map<std::string_view, Operator> operators{
      {"Identity", fixed(op::Unary{UnaryFunction::Identity})},
      {"Relu", fixed(op::Unary{UnaryFunction::Relu})},
      {"Sigmoid", fixed(op::Unary{UnaryFunction::Sigmoid})},
      {"Tanh", fixed(op::Unary{UnaryFunction::Tanh})},
      {"Sqrt", fixed(op::Unary{UnaryFunction::Sqrt})},
      {"Log", fixed(op::Unary{UnaryFunction::Log})},
      {"Add", fixed(op::Arithmetic{BinaryFunction::Add})},
      {"Sub", fixed(op::Arithmetic{BinaryFunction::Sub})},
      {"Mul", fixed(op::Arithmetic{BinaryFunction::Mul})},
      {"Div", fixed(op::Arithmetic{BinaryFunction::Div})},
      {"Pow", fixed(op::Arithmetic{BinaryFunction::Pow})},
      {"Slice", fixed(op::Slice{})},
      {"Squeeze", fixed(op::Squeeze{})},
      {"Unsqueeze", fixed(op::Unsqueeze{})},
      {"MatMul", fixed(op::MatMul{})},
      {"Reshape",
       {{"allowzero"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::Reshape reshape;
          WD_TRY(reshape.allowzero, node.flag("allowzero", false));
          return OpKind{reshape};
        }}},
      {"Transpose", {{"perm"}, build_transpose}},
      {"Split",
       {{"axis"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::Split split;
          WD_TRY(split.axis, node.integer("axis", 0));
          split.parts = node.node().outputs.size();
          return OpKind{split};
        }}},
      {"Concat",
       {{"axis"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::Concat concat;
          WD_TRY(concat.axis, node.integer("axis", op::Concat::kNoAxis));
          return OpKind{concat};
        }}},
      {"Flatten",
       {{"axis"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::Flatten flatten;
          WD_TRY(flatten.axis, node.integer("axis", 1));
          return OpKind{flatten};
        }}},
      {"Gather",
       {{"axis"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::Gather gather;
          WD_TRY(gather.axis, node.integer("axis", 0));
          return OpKind{gather};
        }}},
      {"ReduceSum",
       {{"keepdims", "noop_with_empty_axes"},
        [](const NodeReader& node) -> Result<OpKind> {
          op::ReduceSum reduce;
          WD_TRY(reduce.keepdims, node.flag("keepdims", true));
          WD_TRY(reduce.noop_with_empty_axes, node.flag("noop_with_empty_axes", false));
          return OpKind{reduce};
        }}},
      {"Conv",
       {{"dilations", "group", "kernel_shape", "pads", "strides", "auto_pad"}, build_conv}},
      {"Gemm", {{"alpha", "beta", "transA", "transB"}, build_gemm}},
      {"LayerNormalization", {{"axis", "epsilon", "stash_type"}, build_layer_normalization}},
      {"GRU", {{"direction", "hidden_size", "linear_before_reset", "layout"}, build_gru}},
  };
  return operators;
}

}  // namespace

Result<OpKind> build_op_kind(const Node& node) {
  if (!node.domain.empty() && node.domain != "ai.onnx") {
    return fail(node.op_type + " from " + node.domain);
  }
  const auto& operators = catalogue();
  const auto found = operators.find(node.op_type);
  if (found == operators.end()) return fail("no " + node.op_type + " operator");
  const NodeReader reader(node);
  WD_CHECK(reader.only(found->second.allowed));
  return found->second.build(reader);
}

}  // namespace wd
