// Graph building: the interface check, the operator catalogue, slots, folding and
// pre-transposition. Models come from models/fixtures/make_builder_fixtures.py; the
// expected slots, values and messages below are worked out by hand.
#include "builder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "product.h"

namespace wd {
namespace {

std::filesystem::path fixture_path(const std::string& name) {
  const char* root = std::getenv("WD_SOURCE_DIR");
  const std::filesystem::path base = root ? root : std::filesystem::current_path();
  return base / "models" / "fixtures" / "builder" / (name + ".onnx");
}

Result<Graph> load_fixture(const std::string& name) {
  std::ifstream file(fixture_path(name), std::ios::binary);
  if (!file) return fail("cannot read fixture " + fixture_path(name).string());
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  return load_graph(bytes);
}

// Loads a fixture that must build; on failure the message is the test's failure.
Graph loaded(const std::string& name) {
  Result<Graph> graph = load_fixture(name);
  if (!graph) {
    ADD_FAILURE() << name << ": " << graph.error().message;
    return Graph{};
  }
  return std::move(graph).value();
}

std::string refusal(const std::string& name) {
  const Result<Graph> graph = load_fixture(name);
  return graph ? std::string("(built)") : graph.error().message;
}

void expect_tensor(const std::optional<Tensor>& value, const Shape& shape,
                   const std::vector<float>& data) {
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ElementType::F32);
  EXPECT_EQ(value->shape, shape);
  EXPECT_EQ(value->f32, data);
}

std::vector<OptionalSlot> slots(std::initializer_list<OptionalSlot> list) { return list; }

TEST(BuildGraph, NumbersSlotsInOrderOfFirstAppearance) {
  const Graph graph = loaded("slots");
  // w 0, b 1, spec 2, state_in 3, y 4, spec_e 5, state_out 6. The graph also lists w
  // and b as inputs; being initializers, they are constants.
  EXPECT_EQ(graph.slot_count, 7u);
  ASSERT_EQ(graph.values.size(), 7u);
  expect_tensor(graph.values[0], {2}, {1, 2});
  expect_tensor(graph.values[1], {1}, {3});
  for (Slot slot = 2; slot < 7; ++slot) EXPECT_FALSE(graph.values[slot]) << slot;
  EXPECT_EQ(graph.inputs, (std::vector<Slot>{2, 3}));
  EXPECT_EQ(graph.outputs, (std::vector<Slot>{5, 6}));
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_EQ(graph.ops[0].kind.index(), 1u);
  EXPECT_EQ(graph.ops[0].inputs, slots({2, 0}));
  EXPECT_EQ(graph.ops[0].outputs, slots({4}));
  EXPECT_EQ(graph.metadata, (std::map<std::string, std::string>{{"hop", "160"},
                                                                 {"sample_rate", "16000"}}));
}

TEST(BuildGraph, LaterInitializerOfTheSameNameReplacesTheEarlier) {
  const Graph graph = loaded("duplicate_initializer");
  // w 0, x 1, spec 2, state_in 3, spec_e 4, state_out 5.
  EXPECT_EQ(graph.slot_count, 6u);
  expect_tensor(graph.values[0], {1}, {3});
  expect_tensor(graph.values[1], {1}, {2});
  EXPECT_EQ(graph.inputs, (std::vector<Slot>{2, 3}));
}

TEST(BuildGraph, RefusesAnyOtherInterface) {
  const struct {
    const char* fixture;
    const char* message;
  } cases[] = {
      {"swapped_inputs",
       R"(a model with inputs ["state_in", "spec"] and outputs ["spec_e", "state_out"])"},
      {"third_output",
       R"(a model with inputs ["spec", "state_in"] and outputs ["spec_e", "state_out", "extra"])"},
      {"single_input", R"(a model with inputs ["x"] and outputs ["spec_e", "state_out"])"},
      {"escaped_names",
       R"(a model with inputs ["say \"hi\"", "back\\slash", "tab\there\nnext", "\u{1}"] and outputs ["spec_e"])"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.fixture), c.message) << c.fixture;
}

TEST(LoadGraph, PassesDecodingFailuresUp) {
  const Result<Graph> graph = load_graph({});
  ASSERT_FALSE(graph);
  EXPECT_EQ(graph.error().message, "not an ONNX model");
}

TEST(Catalogue, RefusesNodes) {
  const struct {
    const char* fixture;
    const char* message;
  } cases[] = {
      {"domain_other", "Relu from com.example"},
      {"op_lower_case", "no relu operator"},
      {"op_empty", "no  operator"},
      {"op_shape", "no Shape operator"},
      {"op_constant", "no Constant operator"},
      {"relu_attribute", "Relu with alpha"},
      {"gemm_alpha_int", "Gemm has a malformed alpha"},
      {"gemm_transb_float", "Gemm has a malformed transB"},
      {"conv_pads_two", "Conv with padding that is not two-dimensional"},
      {"conv_pads_negative", "Conv with padding that is not two-dimensional"},
      {"conv_strides_three", "Conv has a strides that is not two-dimensional"},
      {"conv_strides_float", "Conv has a strides that is not two-dimensional"},
      {"conv_dilations_zero", "Conv has a dilations that is not two-dimensional"},
      {"conv_group_zero", "Conv with no groups"},
      {"conv_auto_pad_same", "Conv with automatic padding"},
      {"conv_auto_pad_int", "Conv with automatic padding"},
      {"conv_auto_pad_before_pads", "Conv with automatic padding"},
      {"conv_pads_before_group", "Conv with padding that is not two-dimensional"},
      {"conv_group_before_strides", "Conv with no groups"},
      {"conv_strides_before_dilations", "Conv has a strides that is not two-dimensional"},
      {"conv_unknown_before_checks", "Conv with foo"},
      {"transpose_perm_int", "Transpose has a malformed perm"},
      {"split_attribute", "Split with split"},
      {"reduce_keepdims_float", "ReduceSum has a malformed keepdims"},
      {"concat_axis_floats", "Concat has a malformed axis"},
      {"layernorm_mean_output", "LayerNormalization with its statistics as outputs"},
      {"layernorm_deviation_output", "LayerNormalization with its statistics as outputs"},
      {"layernorm_statistics_before_axis", "LayerNormalization with its statistics as outputs"},
      {"layernorm_epsilon_int", "LayerNormalization has a malformed epsilon"},
      {"gru_default_form", "a GRU other than linear-before-reset, sequence first"},
      {"gru_reset_before_product", "a GRU other than linear-before-reset, sequence first"},
      {"gru_reset_float", "GRU has a malformed linear_before_reset"},
      {"gru_batch_first", "a GRU other than linear-before-reset, sequence first"},
      {"gru_direction_text", "GRU with a malformed direction"},
      {"gru_direction_int", "GRU with a malformed direction"},
      {"gru_no_hidden_size", "GRU with no hidden size"},
      {"gru_hidden_size_zero", "GRU with no hidden size"},
      {"gru_sequence_lengths", "GRU with sequence lengths"},
      {"gru_clip", "GRU with clip"},
      {"gru_activations", "GRU with activations"},
      {"gru_form_before_direction", "a GRU other than linear-before-reset, sequence first"},
      {"gru_direction_before_hidden_size", "GRU with a malformed direction"},
      {"gru_hidden_size_before_lengths", "GRU with no hidden size"},
      {"first_failing_node", "no Elu operator"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal(std::string("refused_") + c.fixture), c.message) << c.fixture;
  }
}

TEST(Catalogue, AcceptsNodesAtTheEdge) {
  for (const char* fixture : {"domain_ai_onnx", "conv_auto_pad_notset", "gru_empty_fifth_input",
                              "layernorm_empty_statistics"}) {
    const Graph graph = loaded(std::string("accepted_") + fixture);
    EXPECT_EQ(graph.ops.size(), 1u) << fixture;
  }
}

Node node(std::string op_type, std::unordered_map<std::string, AttributeValue> attributes = {},
          std::vector<std::string> outputs = {"y"}) {
  return Node{std::move(op_type), "", {"x"}, std::move(outputs), std::move(attributes)};
}

OpKind kind_of(const Node& n) {
  Result<OpKind> kind = build_op_kind(n);
  if (!kind) {
    ADD_FAILURE() << n.op_type << ": " << kind.error().message;
    return op::MatMul{};
  }
  return std::move(kind).value();
}

TEST(Catalogue, ElementwiseOperatorsSelectTheirFunction) {
  const struct {
    const char* op_type;
    UnaryFunction function;
  } unary[] = {{"Identity", UnaryFunction::Identity}, {"Relu", UnaryFunction::Relu},
               {"Sigmoid", UnaryFunction::Sigmoid},   {"Tanh", UnaryFunction::Tanh},
               {"Sqrt", UnaryFunction::Sqrt},         {"Log", UnaryFunction::Log}};
  for (const auto& c : unary) {
    const OpKind kind = kind_of(node(c.op_type));
    ASSERT_TRUE(std::holds_alternative<op::Unary>(kind)) << c.op_type;
    EXPECT_EQ(std::get<op::Unary>(kind).function, c.function) << c.op_type;
  }
  const struct {
    const char* op_type;
    BinaryFunction function;
  } arithmetic[] = {{"Add", BinaryFunction::Add},
                    {"Sub", BinaryFunction::Sub},
                    {"Mul", BinaryFunction::Mul},
                    {"Div", BinaryFunction::Div},
                    {"Pow", BinaryFunction::Pow}};
  for (const auto& c : arithmetic) {
    const OpKind kind = kind_of(node(c.op_type));
    ASSERT_TRUE(std::holds_alternative<op::Arithmetic>(kind)) << c.op_type;
    EXPECT_EQ(std::get<op::Arithmetic>(kind).function, c.function) << c.op_type;
  }
  const struct {
    const char* op_type;
    std::size_t index;
  } plain[] = {{"Slice", 4}, {"Squeeze", 6}, {"Unsqueeze", 7}, {"MatMul", 14}};
  for (const auto& c : plain) EXPECT_EQ(kind_of(node(c.op_type)).index(), c.index) << c.op_type;
}

TEST(Catalogue, DefaultsForAbsentAttributes) {
  EXPECT_FALSE(std::get<op::Reshape>(kind_of(node("Reshape"))).allowzero);
  EXPECT_FALSE(std::get<op::Transpose>(kind_of(node("Transpose"))).perm.has_value());
  const auto split = std::get<op::Split>(kind_of(node("Split", {}, {"a", "", "c"})));
  EXPECT_EQ(split.axis, 0);
  EXPECT_EQ(split.parts, 3u);
  EXPECT_EQ(std::get<op::Concat>(kind_of(node("Concat"))).axis,
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(std::get<op::Flatten>(kind_of(node("Flatten"))).axis, 1);
  EXPECT_EQ(std::get<op::Gather>(kind_of(node("Gather"))).axis, 0);
  const auto reduce = std::get<op::ReduceSum>(kind_of(node("ReduceSum")));
  EXPECT_TRUE(reduce.keepdims);
  EXPECT_FALSE(reduce.noop_with_empty_axes);
  const auto conv = std::get<op::Conv>(kind_of(node("Conv")));
  EXPECT_EQ(conv.group, 1);
  EXPECT_EQ(conv.strides, (std::array<int64_t, 2>{1, 1}));
  EXPECT_EQ(conv.dilations, (std::array<int64_t, 2>{1, 1}));
  EXPECT_EQ(conv.pads, (std::array<int64_t, 4>{0, 0, 0, 0}));
  const auto gemm = std::get<op::Gemm>(kind_of(node("Gemm")));
  EXPECT_EQ(gemm.alpha, 1.0f);
  EXPECT_EQ(gemm.beta, 1.0f);
  EXPECT_FALSE(gemm.transA);
  EXPECT_FALSE(gemm.transB);
  const auto norm = std::get<op::LayerNormalization>(kind_of(node("LayerNormalization")));
  EXPECT_EQ(norm.axis, -1);
  EXPECT_EQ(std::bit_cast<uint32_t>(norm.epsilon), 0x3727C5ACu);
  const auto gru = std::get<op::Gru>(
      kind_of(node("GRU", {{"linear_before_reset", int64_t{1}}, {"hidden_size", int64_t{4}}})));
  EXPECT_EQ(gru.direction, GruDirection::Forward);
  EXPECT_EQ(gru.hidden_size, 4);
  EXPECT_FALSE(gru.weights_transposed);
}

TEST(Catalogue, ReadsGivenAttributes) {
  EXPECT_TRUE(
      std::get<op::Reshape>(kind_of(node("Reshape", {{"allowzero", int64_t{5}}}))).allowzero);
  // Whether perm is a permutation is the kernel's concern.
  const std::vector<int64_t> perm = {7, 7};
  EXPECT_EQ(std::get<op::Transpose>(kind_of(node("Transpose", {{"perm", perm}}))).perm, perm);
  EXPECT_EQ(std::get<op::Split>(kind_of(node("Split", {{"axis", int64_t{-1}}}))).axis, -1);
  EXPECT_EQ(std::get<op::Concat>(kind_of(node("Concat", {{"axis", int64_t{2}}}))).axis, 2);
  EXPECT_EQ(std::get<op::Flatten>(kind_of(node("Flatten", {{"axis", int64_t{0}}}))).axis, 0);
  EXPECT_EQ(std::get<op::Gather>(kind_of(node("Gather", {{"axis", int64_t{-2}}}))).axis, -2);
  const auto reduce = std::get<op::ReduceSum>(kind_of(
      node("ReduceSum", {{"keepdims", int64_t{0}}, {"noop_with_empty_axes", int64_t{1}}})));
  EXPECT_FALSE(reduce.keepdims);
  EXPECT_TRUE(reduce.noop_with_empty_axes);
  const auto conv = std::get<op::Conv>(kind_of(node(
      "Conv", {{"pads", std::vector<int64_t>{1, 2, 3, 4}},
               {"strides", std::vector<int64_t>{2, 3}},
               {"dilations", std::vector<int64_t>{4, 5}},
               {"group", int64_t{2}},
               {"kernel_shape", std::vector<int64_t>{3, 3, 3}}})));
  EXPECT_EQ(conv.pads, (std::array<int64_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(conv.strides, (std::array<int64_t, 2>{2, 3}));
  EXPECT_EQ(conv.dilations, (std::array<int64_t, 2>{4, 5}));
  EXPECT_EQ(conv.group, 2);
  const auto gemm = std::get<op::Gemm>(kind_of(node(
      "Gemm", {{"alpha", 0.5f}, {"beta", 0.25f}, {"transA", int64_t{1}}, {"transB", int64_t{7}}})));
  EXPECT_EQ(gemm.alpha, 0.5f);
  EXPECT_EQ(gemm.beta, 0.25f);
  EXPECT_TRUE(gemm.transA);
  EXPECT_TRUE(gemm.transB);
  const auto norm = std::get<op::LayerNormalization>(kind_of(node(
      "LayerNormalization", {{"axis", int64_t{1}}, {"epsilon", 0.125f}, {"stash_type", 1.0f}})));
  EXPECT_EQ(norm.axis, 1);
  EXPECT_EQ(norm.epsilon, 0.125f);
  const struct {
    const char* text;
    GruDirection direction;
  } directions[] = {{"forward", GruDirection::Forward},
                    {"reverse", GruDirection::Reverse},
                    {"bidirectional", GruDirection::Bidirectional}};
  for (const auto& c : directions) {
    const auto gru = std::get<op::Gru>(kind_of(node("GRU", {{"linear_before_reset", int64_t{1}},
                                                            {"layout", int64_t{0}},
                                                            {"hidden_size", int64_t{3}},
                                                            {"direction", std::string(c.text)}})));
    EXPECT_EQ(gru.direction, c.direction) << c.text;
    EXPECT_EQ(gru.hidden_size, 3);
  }
}

TEST(Folding, FoldsChainsOfConstantsAndKeepsTheRest) {
  const Graph graph = loaded("fold_chain");
  // data 0, axes 1, shape 2, spec 3, state_in 4, u 5, r 6, g 7, spec_e 8, state_out 9.
  EXPECT_EQ(graph.slot_count, 10u);
  expect_tensor(graph.values[5], {1, 3}, {1, 2, 3});
  expect_tensor(graph.values[6], {3, 1}, {1, 2, 3});
  EXPECT_FALSE(graph.values[7]);
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<op::Gather>(graph.ops[0].kind));
  EXPECT_EQ(graph.ops[0].inputs, slots({6, 4}));
  EXPECT_EQ(graph.ops[0].outputs, slots({7}));
}

TEST(Folding, StoresResultsByOutputPosition) {
  const Graph graph = loaded("fold_results");
  // data 0, w 1, spec 2, state_in 3, a 4, c 5, spec_e 6, state_out 7; the middle part
  // of the split has no name and is dropped.
  EXPECT_TRUE(graph.ops.empty());
  EXPECT_EQ(graph.slot_count, 8u);
  expect_tensor(graph.values[4], {2}, {1, 2});
  expect_tensor(graph.values[5], {2}, {5, 6});
  expect_tensor(graph.values[1], {2}, {1, 2});
}

TEST(Folding, DoesNotLookAheadInFileOrder) {
  const Graph graph = loaded("fold_order");
  // c 0, spec 1, state_in 2, t 3, a 4: the Relu reading t comes before the Identity
  // that makes t a constant, so it stays.
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_EQ(std::get<op::Unary>(graph.ops[0].kind).function, UnaryFunction::Relu);
  EXPECT_EQ(graph.ops[0].inputs, slots({3}));
  expect_tensor(graph.values[3], {2}, {-1, 4});
  EXPECT_FALSE(graph.values[4]);
}

TEST(Folding, RefusesWithTheEvaluationMessage) {
  const struct {
    const char* fixture;
    const char* message;
  } cases[] = {
      {"fold_failure", "folding: Gather index out of range"},
      {"fold_failure_after_catalogue", "no Shape operator"},
      {"fold_no_inputs", "folding: Concat of nothing"},
      {"fold_absent_input", "folding: input 0 is missing"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.fixture), c.message) << c.fixture;
}

// A few kilobytes of model that would fold into gigabytes: the kernels refuse such
// results instead of allocating them.
TEST(Folding, RefusesResultsTooLargeToHold) {
  const struct {
    const char* fixture;
    const char* message;
  } cases[] = {
      {"fold_huge_broadcast", "folding: [1024, 1024, 1024] holds too many values"},
      {"fold_huge_padding", "folding: [1, 1, 32769, 32769] holds too many values"},
      {"fold_huge_empty_product", "folding: [32768, 32768] holds too many values"},
      {"fold_huge_sequence", "folding: [268435456, 1, 1, 2] holds too many values"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.fixture), c.message) << c.fixture;
}

// Folded constants are held to the element bound with their sizes counted beside
// their values, or a chain of Unsqueezes sharing one long axes list would keep ever
// longer shapes of a single value each. A [2^14, 2^14] product fills the bound with
// its values alone; its two sizes take it past.
TEST(Folding, CountsTheSizesOfFoldedConstantsWithTheirValues) {
  constexpr uint64_t kSide = uint64_t{1} << 14;
  static_assert(kSide * kSide == kMaxElements);
  DecodedModel model;
  model.initializers.push_back({"a", Tensor::floats({kSide, 1}, std::vector<float>(kSide, 1))});
  model.initializers.push_back({"b", Tensor::floats({1, kSide}, std::vector<float>(kSide, 1))});
  model.nodes.push_back(Node{"MatMul", "", {"a", "b"}, {"p"}, {}});
  model.nodes.push_back(Node{"Identity", "", {"spec"}, {"spec_e"}, {}});
  model.nodes.push_back(Node{"Identity", "", {"state_in"}, {"state_out"}, {}});
  model.input_names = {"spec", "state_in"};
  model.output_names = {"spec_e", "state_out"};
  const Result<Graph> graph = build_graph(std::move(model));
  ASSERT_FALSE(graph);
  EXPECT_EQ(graph.error().message, "folding: the constants hold too many values together");
}

TEST(Pretransposition, GemmWithConstantBGetsATransposedCopy) {
  const Graph graph = loaded("gemm_constant_b");
  // b 0, spec 1, state_in 2, y1 3, y2 4, y3 5, spec_e 6, state_out 7; then one new
  // slot per transposed use.
  ASSERT_EQ(graph.ops.size(), 3u);
  EXPECT_EQ(graph.slot_count, 10u);
  ASSERT_EQ(graph.values.size(), 10u);
  const auto& first = std::get<op::Gemm>(graph.ops[0].kind);
  EXPECT_FALSE(first.transB);
  EXPECT_EQ(graph.ops[0].inputs, slots({2, 8}));
  expect_tensor(graph.values[8], {3, 2}, {1, 4, 2, 5, 3, 6});
  EXPECT_FALSE(std::get<op::Gemm>(graph.ops[1].kind).transB);
  EXPECT_EQ(graph.ops[1].inputs, slots({2, 0}));
  EXPECT_FALSE(std::get<op::Gemm>(graph.ops[2].kind).transB);
  EXPECT_EQ(graph.ops[2].inputs, slots({1, 9}));
  expect_tensor(graph.values[9], {3, 2}, {1, 4, 2, 5, 3, 6});
  expect_tensor(graph.values[0], {2, 3}, {1, 2, 3, 4, 5, 6});
}

TEST(Pretransposition, FoldedGemmKeepsTransB) {
  const Graph graph = loaded("gemm_all_constant");
  // a 0, bt 1, spec 2, state_in 3, y 4: [1, 2] times the transpose of [[1, 2], [3, 4],
  // [5, 6]] is [5, 11, 17].
  EXPECT_TRUE(graph.ops.empty());
  EXPECT_EQ(graph.slot_count, 7u);
  expect_tensor(graph.values[4], {1, 3}, {5, 11, 17});
}

TEST(Pretransposition, GemmWithRuntimeBKeepsTransB) {
  const Graph graph = loaded("gemm_runtime_b");
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_TRUE(std::get<op::Gemm>(graph.ops[0].kind).transB);
  EXPECT_EQ(graph.slot_count, 5u);
}

TEST(Pretransposition, GruWithConstantWeightsGetsTransposedCopies) {
  const Graph graph = loaded("gru_constant_weights");
  // w 0, r 1, spec 2, state_in 3, y 4, y_h 5, spec_e 6, state_out 7; W' 8, R' 9.
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_EQ(graph.slot_count, 10u);
  EXPECT_TRUE(std::get<op::Gru>(graph.ops[0].kind).weights_transposed);
  EXPECT_EQ(graph.ops[0].inputs, slots({2, 8, 9}));
  expect_tensor(graph.values[8], {1, 2, 6}, {0, 2, 4, 6, 8, 10, 1, 3, 5, 7, 9, 11});
  expect_tensor(graph.values[9], {1, 2, 6},
                {100, 102, 104, 106, 108, 110, 101, 103, 105, 107, 109, 111});
}

TEST(Pretransposition, GruNeedsBothWeightsConstant) {
  for (const char* fixture : {"gru_runtime_r", "gru_two_inputs"}) {
    const Graph graph = loaded(fixture);
    ASSERT_EQ(graph.ops.size(), 1u) << fixture;
    EXPECT_FALSE(std::get<op::Gru>(graph.ops[0].kind).weights_transposed) << fixture;
    EXPECT_EQ(graph.ops[0].inputs[1], OptionalSlot{0}) << fixture;
    EXPECT_EQ(graph.slot_count, graph.values.size()) << fixture;
  }
  // w 0, spec 1, state_in 2, y 3, y_h 4, spec_e 5, state_out 6: no slot added.
  EXPECT_EQ(loaded("gru_runtime_r").slot_count, 7u);
}

bool processor_fuses() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

// Panels of the matrix in `slot`, or none on processors without the fused product.
void expect_panels_of(const Graph& graph, const RowPanels* panels, Slot slot) {
  if (!processor_fuses()) {
    EXPECT_EQ(panels, nullptr);
    return;
  }
  ASSERT_NE(panels, nullptr);
  const Tensor& matrix = *graph.values[slot];
  EXPECT_EQ(panels->k(), matrix.shape[matrix.shape.size() - 2]);
  EXPECT_EQ(panels->n(), matrix.shape.back());
}

TEST(Panels, ConstantGemmAndGruWeightsAreSetOutForSingleRows) {
  const Graph gemm = loaded("gemm_constant_b");
  ASSERT_EQ(gemm.ops.size(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    expect_panels_of(gemm, std::get<op::Gemm>(gemm.ops[i].kind).b_panels,
                     *gemm.ops[i].inputs[1]);
  }
  EXPECT_EQ(std::get<op::Gemm>(loaded("gemm_runtime_b").ops[0].kind).b_panels, nullptr);

  const Graph gru = loaded("gru_constant_weights");
  const auto& params = std::get<op::Gru>(gru.ops[0].kind);
  expect_panels_of(gru, params.w_panels[0], 8);
  expect_panels_of(gru, params.r_panels[0], 9);
  EXPECT_EQ(params.w_panels[1], nullptr);
  for (const char* fixture : {"gru_runtime_r", "gru_two_inputs"}) {
    const Graph graph = loaded(fixture);
    const auto& runtime = std::get<op::Gru>(graph.ops[0].kind);
    EXPECT_EQ(runtime.w_panels, (std::array<const RowPanels*, 2>{})) << fixture;
    EXPECT_EQ(runtime.r_panels, (std::array<const RowPanels*, 2>{})) << fixture;
  }
}

TEST(Pretransposition, RefusesWeightsThatAreNotFloatMatrices) {
  const struct {
    const char* fixture;
    const char* message;
  } cases[] = {
      {"gemm_int64_weight", "int64 values where floats were expected"},
      {"gemm_vector_weight", "a matrix with fewer than two dimensions"},
      {"gru_int64_recurrence", "int64 values where floats were expected"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.fixture), c.message) << c.fixture;
}

}  // namespace
}  // namespace wd
