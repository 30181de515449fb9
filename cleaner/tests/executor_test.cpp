// The executor: dispatch of one operation to its kernel, and one frame through a
// built graph with the state carried by the caller. Graphs are written out as
// records here, so the executor is tested apart from the builder.
#include "executor.h"

#include <gtest/gtest.h>

#include <bit>
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

// Values are handed on to a later result, and dropped, only after their last
// reader: each graph here would lose a value it still needs if one went earlier.
TEST(ModelStep, KeepsEveryValueUntilItsLastReader) {
  const Slot t = 4, flat = 5, constant = 6, flat_shape = 7;
  const auto with_constants = [&](Graph graph) {
    std::vector<float> values(kSpectrum);
    for (uint64_t i = 0; i < kSpectrum; ++i) values[i] = static_cast<float>(i) * 0.5f;
    graph.values[constant] = Tensor::floats({2, 161}, std::move(values));
    graph.values[flat_shape] = Tensor::int64s({1}, {-1});
    return graph;
  };
  const Op pass_state = unary(UnaryFunction::Identity, kStateIn, kStateOut);
  const std::vector<float> spectrum = test_spectrum();
  std::vector<float> relu = spectrum;
  for (float& v : relu) v = v < 0 ? 0 : v;
  std::vector<float> doubled = spectrum;
  for (float& v : doubled) v += v;
  std::vector<float> halves(kSpectrum);
  for (uint64_t i = 0; i < kSpectrum; ++i) halves[i] = static_cast<float>(i) * 0.5f;

  const struct {
    const char* name;
    Graph graph;
    std::vector<float> spectrum;
  } cases[] = {
      {"an input mapped, then read again",
       graph_of(8, {unary(UnaryFunction::Relu, kSpec, t),
                    unary(UnaryFunction::Identity, kSpec, kSpecOut), pass_state}),
       spectrum},
      {"an input reshaped, then read again",
       with_constants(graph_of(8, {Op{op::Reshape{}, {kSpec, flat_shape}, {flat}},
                                   unary(UnaryFunction::Identity, kSpec, kSpecOut), pass_state})),
       spectrum},
      {"an output read by a later operation",
       with_constants(graph_of(8, {unary(UnaryFunction::Relu, kSpec, kSpecOut),
                                   Op{op::Reshape{}, {kSpecOut, flat_shape}, {flat}},
                                   unary(UnaryFunction::Relu, kSpecOut, t), pass_state})),
       relu},
      {"a value read twice by its last reader",
       graph_of(8, {unary(UnaryFunction::Identity, kSpec, t),
                    Op{op::Arithmetic{BinaryFunction::Add}, {t, t}, {kSpecOut}}, pass_state}),
       doubled},
      {"a constant reshaped on every frame",
       with_constants(graph_of(8, {Op{op::Reshape{}, {constant, flat_shape}, {kSpecOut}},
                                   pass_state})),
       halves},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> state = {1, 2, 3};
    for (int frame = 0; frame < 2; ++frame) {
      const auto result = model_step(c.graph, 3, test_spectrum(), state);
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_EQ(*result, c.spectrum);
      EXPECT_EQ(state, (std::vector<float>{1, 2, 3}));
    }
  }
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

// evaluate_op with input 0 given up, as the executor offers a value nothing reads
// afterwards, against evaluate_op on the same inputs kept: the same results or the
// same failure. The kernels that only move or map values take the data over for
// their result; a failing kernel leaves it in place.
TEST(EvaluateOp, AnExpiringInputChangesNoResult) {
  const Tensor matrix = floats({2, 3}, {1, -2, 3, -4, 5, -6});
  const Tensor column = floats({2, 1}, {10, 20});
  const Tensor row = floats({3}, {0.5f, 2, -1});
  const Tensor one = floats({}, {2});
  const Tensor flat = int64s({1}, {-1});
  const Tensor axis_zero = int64s({1}, {0});
  const Tensor axis_one = int64s({1}, {1});
  const struct {
    const char* name;
    OpKind kind;
    std::vector<Tensor> inputs;
    bool taken;  // the result holds the data input 0 held
  } cases[] = {
      {"Identity", op::Unary{UnaryFunction::Identity}, {matrix}, true},
      {"Relu", op::Unary{UnaryFunction::Relu}, {matrix}, true},
      {"Sigmoid", op::Unary{UnaryFunction::Sigmoid}, {matrix}, true},
      {"Tanh", op::Unary{UnaryFunction::Tanh}, {matrix}, true},
      {"Sqrt", op::Unary{UnaryFunction::Sqrt}, {matrix}, true},
      {"Log", op::Unary{UnaryFunction::Log}, {matrix}, true},
      {"Sub of equal shapes", op::Arithmetic{BinaryFunction::Sub}, {matrix, matrix}, true},
      {"Div by a single value", op::Arithmetic{BinaryFunction::Div}, {matrix, one}, true},
      {"Pow by a row", op::Arithmetic{BinaryFunction::Pow}, {matrix, row}, true},
      {"Mul by a column", op::Arithmetic{BinaryFunction::Mul}, {matrix, column}, true},
      {"Add widening the first operand", op::Arithmetic{BinaryFunction::Add}, {column, row},
       false},
      {"Sub from a single value", op::Arithmetic{BinaryFunction::Sub}, {one, matrix}, false},
      {"Add that does not broadcast", op::Arithmetic{BinaryFunction::Add},
       {matrix, floats({2}, {1, 2})}, false},
      {"Reshape", op::Reshape{}, {matrix, flat}, true},
      {"Reshape to a malformed shape", op::Reshape{}, {matrix, int64s({2}, {-1, -1})}, false},
      {"Squeeze", op::Squeeze{}, {column, axis_one}, true},
      {"Squeeze of a dimension that is not 1", op::Squeeze{}, {column, axis_zero}, false},
      {"Unsqueeze", op::Unsqueeze{}, {matrix, axis_zero}, true},
      {"Flatten", op::Flatten{0}, {matrix}, true},
      {"Transpose", op::Transpose{}, {matrix}, false},
      {"Concat", op::Concat{1}, {matrix, column}, false},
      {"Split", op::Split{1, 3}, {matrix}, false},
      {"ReduceSum", op::ReduceSum{true, false}, {matrix, axis_one}, false},
      {"LayerNormalization", op::LayerNormalization{-1, 1e-5f}, {matrix, row, row}, true},
      {"LayerNormalization with a scale of the wrong size", op::LayerNormalization{0, 1e-5f},
       {matrix, row}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const Tensor*> kept;
    for (const Tensor& tensor : c.inputs) kept.push_back(&tensor);
    const Result<Outputs> expected = evaluate_op(c.kind, kept);

    std::vector<Tensor> given = c.inputs;
    const std::vector<float> data = given[0].f32;
    const float* held = given[0].f32.data();
    std::vector<const Tensor*> pointers;
    for (const Tensor& tensor : given) pointers.push_back(&tensor);
    const Result<Outputs> got = evaluate_op(c.kind, pointers, &given[0]);

    ASSERT_EQ(got.ok(), expected.ok());
    if (!expected) {
      EXPECT_EQ(got.error().message, expected.error().message);
      EXPECT_EQ(given[0].f32, data);
      continue;
    }
    ASSERT_EQ(got->size(), expected->size());
    for (std::size_t k = 0; k < got->size(); ++k) {
      EXPECT_EQ((*got)[k].shape, (*expected)[k].shape);
      const std::vector<float>& values = (*got)[k].f32;
      const std::vector<float>& wanted = (*expected)[k].f32;
      ASSERT_EQ(values.size(), wanted.size());
      for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(wanted[i])) << i;
      }
    }
    EXPECT_EQ((*got)[0].f32.data() == held, c.taken);
    EXPECT_EQ(given[0].f32.empty(), c.taken);
  }
}

TEST(EvaluateOp, AnExpiringTensorOtherThanInputZeroIsADefect) {
  const Tensor a = floats({1}, {1});
  Tensor b = floats({1}, {2});
  const std::vector<const Tensor*> inputs = {&a, &b};
  EXPECT_THROW((void)evaluate_op(op::Unary{UnaryFunction::Relu}, inputs, &b), InternalFault);
  EXPECT_THROW((void)evaluate_op(op::Unary{UnaryFunction::Relu}, {}, &b), InternalFault);
}

}  // namespace
}  // namespace wd
