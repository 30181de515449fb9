// The executor: dispatch of one operation to its kernel, and one frame through a
// built graph with the state carried by the caller. Graphs are written out as
// records here, so the executor is tested apart from the builder.
#include "executor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace wd {
namespace {

constexpr uint64_t kSpectrum = 322;

// Slots of the graphs below: the two inputs and the two outputs come first.
constexpr Slot kSpec = 0, kStateIn = 1, kSpecOut = 2, kStateOut = 3;

std::vector<float> test_spectrum() {
  std::vector<float> values(kSpectrum);
  for (uint64_t i = 0; i < kSpectrum; ++i) values[i] = static_cast<float>(i) - 100.0f;
  return values;
}

Op unary(UnaryFunction function, Slot in, OptionalSlot out) {
  return Op{op::Unary{function}, {in}, {out}};
}

Graph graph_of(uint64_t slot_count, std::vector<Op> ops, std::vector<Slot> outputs = {kSpecOut,
                                                                                   kStateOut}) {
  Graph graph;
  graph.values.resize(slot_count);
  graph.slot_count = slot_count;
  graph.ops = std::move(ops);
  graph.inputs = {kSpec, kStateIn};
  graph.outputs = std::move(outputs);
  return graph;
}

// One frame; on failure the message, after checking the kind and the emptied state.
std::string failure_of(const Graph& graph, uint64_t state_length,
                       std::vector<float> state = {1, 2, 3}) {
  const auto result = model_step(graph, state_length, test_spectrum(), state);
  if (result) return "(succeeded)";
  EXPECT_EQ(result.error().kind, ErrorKind::Other);
  EXPECT_TRUE(state.empty());
  return result.error().message;
}

TEST(ModelStep, CarriesTheStateThroughTheCaller) {
  const Slot one = 4;
  Graph graph = graph_of(5, {unary(UnaryFunction::Relu, kSpec, kSpecOut),
                             Op{op::Arithmetic{BinaryFunction::Add}, {kStateIn, one}, {kStateOut}}});
  graph.values[one] = Tensor::floats({}, {1});
  std::vector<float> expected_spectrum = test_spectrum();
  for (float& v : expected_spectrum) v = v < 0 ? 0 : v;

  std::vector<float> state = {1, 2, 3};
  for (float frame = 1; frame <= 3; ++frame) {
    const auto result = model_step(graph, 3, test_spectrum(), state);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, expected_spectrum);
    EXPECT_EQ(state, (std::vector<float>{1 + frame, 2 + frame, 3 + frame}));
  }
}

TEST(ModelStep, BindsTheSpectrumAsOneFrameOfBinsAndParts) {
  // Transposing [1, 1, 161, 2] without a permutation puts the 161 real parts first.
  Graph graph = graph_of(4, {Op{op::Transpose{}, {kSpec}, {kSpecOut}},
                             unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  std::vector<float> state = {7};
  const auto result = model_step(graph, 1, test_spectrum(), state);
  ASSERT_TRUE(result) << result.error().message;
  const std::vector<float> spectrum = test_spectrum();
  for (uint64_t bin = 0; bin < 161; ++bin) {
    EXPECT_EQ((*result)[bin], spectrum[2 * bin]) << bin;
    EXPECT_EQ((*result)[161 + bin], spectrum[2 * bin + 1]) << bin;
  }
  EXPECT_EQ(state, std::vector<float>{7});
}

TEST(ModelStep, RefusesOutputsOfTheWrongSize) {
  const Slot extra = 4;
  // state_out one value longer than the state.
  Graph longer_state =
      graph_of(5, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                   Op{op::Concat{0}, {kStateIn, extra}, {kStateOut}}});
  longer_state.values[extra] = Tensor::floats({1}, {0});
  EXPECT_EQ(failure_of(longer_state, 3), "the model's outputs have the wrong size");

  // spec_e a constant of 320 values.
  Graph short_spectrum = graph_of(4, {unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  short_spectrum.values[kSpecOut] = Tensor::floats({320}, std::vector<float>(320, 1));
  EXPECT_EQ(failure_of(short_spectrum, 3), "the model's outputs have the wrong size");

  // The expected state length is the caller's, not the state's.
  Graph passthrough = graph_of(4, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                                   unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  EXPECT_EQ(failure_of(passthrough, 4), "the model's outputs have the wrong size");
}

TEST(ModelStep, ComparesOnlyDataLengths) {
  Graph graph = graph_of(4, {unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  graph.values[kSpecOut] = Tensor::floats({2, 161}, std::vector<float>(322, 0.5f));
  std::vector<float> state = {1, 2, 3};
  const auto result = model_step(graph, 3, test_spectrum(), state);
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(*result, std::vector<float>(322, 0.5f));
}

TEST(ModelStep, ConstantOutputServesEveryFrame) {
  Graph graph = graph_of(4, {unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  std::vector<float> constant(322);
  for (uint64_t i = 0; i < 322; ++i) constant[i] = static_cast<float>(i) * 0.25f;
  graph.values[kSpecOut] = Tensor::floats({1, 1, 161, 2}, constant);
  std::vector<float> state = {4, 5};
  for (int frame = 0; frame < 2; ++frame) {
    const auto result = model_step(graph, 2, test_spectrum(), state);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(*result, constant);
    EXPECT_EQ(state, (std::vector<float>{4, 5}));
  }
  ASSERT_TRUE(graph.values[kSpecOut]);
  EXPECT_EQ(graph.values[kSpecOut]->f32, constant);
}

TEST(ModelStep, FailsWhereTheGraphCannotDeliver) {
  const Slot later = 4, integers = 5, unread = 6;
  const auto with_integers = [&](Graph graph) {
    graph.values[integers] = Tensor::int64s({3}, {1, 2, 3});
    return graph;
  };
  const struct {
    const char* name;
    Graph graph;
    const char* message;
  } cases[] = {
      {"operation before the one computing its input",
       graph_of(7, {unary(UnaryFunction::Identity, later, kSpecOut),
                    unary(UnaryFunction::Identity, kSpec, later),
                    unary(UnaryFunction::Identity, kStateIn, kStateOut)}),
       "input 0 is missing"},
      {"output never written",
       graph_of(7, {unary(UnaryFunction::Identity, kStateIn, kStateOut)}),
       "an output was never computed"},
      {"output holding integers",
       with_integers(graph_of(7, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                                  unary(UnaryFunction::Identity, kStateIn, kStateOut)},
                              {kSpecOut, integers})),
       "an output was never computed"},
      {"no outputs", graph_of(7, {unary(UnaryFunction::Identity, kSpec, kSpecOut)}, {}),
       "the model gave no state"},
      {"one output", graph_of(7, {unary(UnaryFunction::Identity, kStateIn, kStateOut)},
                              {kStateOut}),
       "the model gave no output"},
      {"operation whose result nobody reads",
       with_integers(graph_of(7, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                                  unary(UnaryFunction::Relu, integers, unread),
                                  unary(UnaryFunction::Identity, kStateIn, kStateOut)})),
       "int64 values where floats were expected"},
      {"output slot beyond the operation's results",
       graph_of(7, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                    Op{op::Unary{UnaryFunction::Identity}, {kStateIn}, {std::nullopt,
                                                                          kStateOut}}}),
       "an output was never computed"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of(c.graph, 3), c.message) << c.name;
}

TEST(ModelStep, OperationsSeeConstantsBeforeFrameValues) {
  const Slot shared = 4, copy = 5;
  // The first operation writes the state into the constant's slot; the second still
  // reads the constant. Output collection looks at the frame's values first.
  const std::vector<Op> ops = {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                               unary(UnaryFunction::Identity, kStateIn, shared),
                               unary(UnaryFunction::Identity, shared, copy)};
  for (const Slot state_out : {copy, shared}) {
    Graph graph = graph_of(6, ops, {kSpecOut, state_out});
    graph.values[shared] = Tensor::floats({3}, {7, 8, 9});
    std::vector<float> state = {1, 2, 3};
    const auto result = model_step(graph, 3, test_spectrum(), state);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(state, state_out == copy ? (std::vector<float>{7, 8, 9})
                                       : (std::vector<float>{1, 2, 3}));
  }
}

TEST(ModelStep, StoresResultsByPosition) {
  // Split makes two parts; the operation lists one output, so the second is dropped.
  Graph graph = graph_of(4, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                             Op{op::Split{0, 2}, {kStateIn}, {kStateOut}}});
  std::vector<float> state = {1, 2, 3, 4};
  const auto result = model_step(graph, 2, test_spectrum(), state);
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(state, (std::vector<float>{1, 2}));
}

TEST(ModelStep, DropsInputsTheGraphDoesNotList) {
  Graph graph = graph_of(4, {unary(UnaryFunction::Identity, kSpec, kSpecOut),
                             unary(UnaryFunction::Identity, kStateIn, kStateOut)});
  graph.inputs = {kSpec};
  EXPECT_EQ(failure_of(graph, 3), "input 0 is missing");
}

TEST(ModelStep, TreatsASpectrumOfAnotherLengthAsADefect) {
  Graph graph = graph_of(4, {});
  std::vector<float> state = {1};
  const std::vector<float> spectrum(321);
  EXPECT_THROW((void)model_step(graph, 1, spectrum, state), InternalFault);
}

Tensor floats(Shape shape, std::vector<float> data) {
  return Tensor::floats(std::move(shape), std::move(data));
}
Tensor int64s(Shape shape, std::vector<int64_t> data) {
  return Tensor::int64s(std::move(shape), std::move(data));
}

// Each kind with inputs that only its own kernel answers this way: a kernel reached
// through the wrong entry gives another result or another message.
TEST(EvaluateOp, DispatchesEveryKindToItsKernel) {
  const Tensor pair = floats({2}, {-1, 2});
  const Tensor one = floats({1}, {1});
  const Tensor matrix = floats({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor row = floats({1, 3}, {1, 2, 3});
  const Tensor cube = floats({1, 1, 1}, {1});
  const Tensor six = floats({6}, {1, 2, 3, 4, 5, 6});
  const Tensor twice_minus_one = int64s({2}, {-1, -1});
  const Tensor zero = int64s({1}, {0});
  const Tensor axis_one = int64s({1}, {1});
  const Tensor axis_three = int64s({1}, {3});
  const struct {
    const char* name;
    OpKind kind;
    std::vector<const Tensor*> inputs;
    std::optional<Tensor> result;  // nothing: the message below
    const char* message;
  } cases[] = {
      {"Unary", op::Unary{UnaryFunction::Relu}, {&pair}, floats({2}, {0, 2}), ""},
      {"Arithmetic", op::Arithmetic{BinaryFunction::Sub}, {&pair, &one}, floats({2}, {-2, 1}),
       ""},
      {"Reshape", op::Reshape{}, {&matrix, &twice_minus_one}, {}, "Reshape to a malformed shape"},
      {"Transpose", op::Transpose{std::vector<int64_t>{0, 0}}, {&matrix}, {},
       "Transpose with a malformed perm"},
      {"Slice", op::Slice{}, {&six, &zero, &axis_three, &zero, &zero}, {},
       "Slice with a zero step"},
      {"Split", op::Split{0, 4}, {&six}, {}, "Split into uneven parts"},
      {"Squeeze", op::Squeeze{}, {&row, &axis_one}, {}, "Squeeze of a dimension that is not 1"},
      {"Unsqueeze", op::Unsqueeze{}, {&pair, &zero}, floats({1, 2}, {-1, 2}), ""},
      {"Concat", op::Concat{0}, {}, {}, "Concat of nothing"},
      {"Flatten", op::Flatten{4}, {&pair}, {}, "Flatten with a malformed axis"},
      {"Gather", op::Gather{0}, {&pair, &one}, {}, "Gather with float indices"},
      {"ReduceSum", op::ReduceSum{true, false}, {&matrix, &axis_one}, floats({2, 1}, {6, 15}),
       ""},
      {"Conv", op::Conv{}, {&cube, &cube}, {}, "Conv that is not two-dimensional"},
      {"Gemm", op::Gemm{}, {&cube, &matrix}, {}, "Gemm of something other than matrices"},
      {"MatMul", op::MatMul{}, {&pair, &matrix}, {}, "MatMul of a vector"},
      {"LayerNormalization", op::LayerNormalization{}, {&matrix, &pair}, {},
       "LayerNormalization with a scale of the wrong size"},
      {"Gru", op::Gru{GruDirection::Forward, 1, true}, {&cube, &cube, &cube}, {},
       "GRU with mismatched weights"},
  };
  ASSERT_EQ(std::size(cases), std::variant_size_v<OpKind>);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(c.kind.index(), i) << c.name;
    const Result<Outputs> outputs = evaluate_op(c.kind, c.inputs);
    if (c.result) {
      ASSERT_TRUE(outputs) << c.name << ": " << outputs.error().message;
      ASSERT_EQ(outputs->size(), 1u) << c.name;
      EXPECT_EQ((*outputs)[0].shape, c.result->shape) << c.name;
      EXPECT_EQ((*outputs)[0].f32, c.result->f32) << c.name;
    } else {
      ASSERT_FALSE(outputs) << c.name;
      EXPECT_EQ(outputs.error().message, c.message) << c.name;
    }
  }
}

}  // namespace
}  // namespace wd
