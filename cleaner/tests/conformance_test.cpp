// Runs the ONNX project's published single-operator tests through the catalogue and
// the kernels: every test whose one node is a catalogue operator either reproduces
// the published outputs or is listed below with the refusal this system gives
// instead. A test that does neither fails, so nothing is skipped silently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "builder.h"
#include "executor.h"
#include "onnx.h"

namespace wd {
namespace {

namespace fs = std::filesystem;

const fs::path kNodeTests = "/usr/share/libonnx-testdata/data/node";

// The operators of the catalogue, one test family each.
const char* const kOperators[] = {
    "Identity", "Relu",    "Sigmoid", "Tanh",    "Sqrt",      "Log",     "Add",
    "Sub",      "Mul",     "Div",     "Pow",     "Slice",     "Squeeze", "Unsqueeze",
    "MatMul",   "Reshape", "Transpose", "Split", "Concat",    "Flatten", "Gather",
    "ReduceSum", "Conv",   "Gemm",    "LayerNormalization", "GRU",
};

enum class Treatment {
  // The test must fail with exactly the message given.
  Refused,
  // LayerNormalization with its mean and deviation as outputs is refused; the
  // normalised output is still checked with the statistics outputs left unnamed.
  RefusedStatisticsChecked,
};

struct Known {
  const char* test;
  Treatment treatment;
  const char* message;
  const char* reason;
};

constexpr const char* kStatistics = "LayerNormalization with its statistics as outputs";
constexpr const char* kGruForm = "a GRU other than linear-before-reset, sequence first";

const Known kKnown[] = {
    {"test_add_uint8", Treatment::Refused, "x has element type 2", "tensors are f32 or i64"},
    {"test_sub_uint8", Treatment::Refused, "x has element type 2", "tensors are f32 or i64"},
    {"test_mul_uint8", Treatment::Refused, "x has element type 2", "tensors are f32 or i64"},
    {"test_div_uint8", Treatment::Refused, "x has element type 2", "tensors are f32 or i64"},
    {"test_pow_types_float", Treatment::Refused, "int64 values where floats were expected",
     "kernels compute on floats only"},
    {"test_pow_types_int", Treatment::Refused, "int64 values where floats were expected",
     "kernels compute on floats only"},
    {"test_pow_types_float32_int64", Treatment::Refused,
     "int64 values where floats were expected", "kernels compute on floats only"},
    {"test_pow_types_int64_float32", Treatment::Refused,
     "int64 values where floats were expected", "kernels compute on floats only"},
    {"test_pow_types_int64_int64", Treatment::Refused, "int64 values where floats were expected",
     "kernels compute on floats only"},
    {"test_pow_types_float32_int32", Treatment::Refused, "y has element type 6",
     "tensors are f32 or i64"},
    {"test_pow_types_float32_uint32", Treatment::Refused, "y has element type 12",
     "tensors are f32 or i64"},
    {"test_pow_types_float32_uint64", Treatment::Refused, "y has element type 13",
     "tensors are f32 or i64"},
    {"test_pow_types_int32_float32", Treatment::Refused, "x has element type 6",
     "tensors are f32 or i64"},
    {"test_pow_types_int32_int32", Treatment::Refused, "x has element type 6",
     "tensors are f32 or i64"},
    // The data files hold an optional and a sequence, which the tensor decoder reads
    // as tensors without a name: the optional's element kind lands on the data type,
    // the sequence's name "x" on the dims.
    {"test_identity_opt", Treatment::Refused, " has element type 3",
     "optional values are not tensors"},
    {"test_identity_sequence", Treatment::Refused, " has 0 values for 120",
     "sequences are not tensors"},
    {"test_unsqueeze_axis_3", Treatment::Refused, "Unsqueeze with axes",
     "axes come as an input, not as the older attribute"},
    {"test_conv_with_autopad_same", Treatment::Refused, "Conv with automatic padding",
     "padding is explicit"},
    {"test_gru_defaults", Treatment::Refused, kGruForm, "only the linear-before-reset form"},
    {"test_gru_seq_length", Treatment::Refused, kGruForm, "only the linear-before-reset form"},
    {"test_gru_with_initial_bias", Treatment::Refused, kGruForm,
     "only the linear-before-reset form"},
    {"test_gru_batchwise", Treatment::Refused, kGruForm, "only the sequence-first layout"},
};

const Known* known(const std::string& test) {
  for (const Known& entry : kKnown) {
    if (entry.test == test) return &entry;
  }
  if (test.starts_with("test_layer_normalization_")) {
    static const Known statistics{"", Treatment::RefusedStatisticsChecked, kStatistics,
                                  "only the normalised output is produced"};
    return &statistics;
  }
  return nullptr;
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

struct NodeTest {
  std::string name;
  fs::path dir;
  DecodedModel model;  // one node
};

struct Corpus {
  std::map<std::string, std::vector<NodeTest>> by_operator;
  std::vector<std::string> problems;  // tests the driver could not place in a family
};

// Every published test whose model is one node of a catalogue operator. Models of
// several nodes are expansions of other operators, not tests of one operator.
const Corpus& corpus() {
  static const Corpus scanned = [] {
    Corpus corpus;
    if (!fs::is_directory(kNodeTests)) return corpus;
    std::vector<fs::path> dirs;
    for (const auto& entry : fs::directory_iterator(kNodeTests)) dirs.push_back(entry.path());
    std::sort(dirs.begin(), dirs.end());
    const std::set<std::string> operators(std::begin(kOperators), std::end(kOperators));
    for (const fs::path& dir : dirs) {
      const std::string name = dir.filename().string();
      Result<DecodedModel> model = decode_model(read_bytes(dir / "model.onnx"));
      if (!model) {
        corpus.problems.push_back(name + ": model not decoded: " + model.error().message);
        continue;
      }
      if (model->nodes.size() != 1) continue;
      const Node& node = model->nodes[0];
      if (!node.domain.empty() && node.domain != "ai.onnx") continue;
      if (!operators.contains(node.op_type)) {
        const Result<OpKind> kind = build_op_kind(node);
        if (kind || kind.error().message != "no " + node.op_type + " operator") {
          corpus.problems.push_back(name + ": " + node.op_type + " is missing from the driver");
        }
        continue;
      }
      const std::string op_type = node.op_type;
      corpus.by_operator[op_type].push_back(NodeTest{name, dir, std::move(model).value()});
    }
    return corpus;
  }();
  return scanned;
}

bool close_enough(float actual, float expected) {
  if (std::isnan(actual) || std::isnan(expected)) return std::isnan(actual) && std::isnan(expected);
  if (actual == expected) return true;
  return std::fabs(actual - expected) <= 1e-6f + 1e-4f * std::fabs(expected);
}

std::string compare(const Tensor& actual, const Tensor& expected, const std::string& name) {
  if (expected.type != ElementType::F32) return name + ": the published result is not float";
  if (actual.shape != expected.shape) {
    return name + ": shape " + shape_text(actual.shape) + ", expected " +
           shape_text(expected.shape);
  }
  for (std::size_t i = 0; i < expected.f32.size(); ++i) {
    if (!close_enough(actual.f32[i], expected.f32[i])) {
      return name + "[" + std::to_string(i) + "]: " + std::to_string(actual.f32[i]) +
             ", expected " + std::to_string(expected.f32[i]);
    }
  }
  return {};
}

// Runs every data set of a test through the node. A failure of the catalogue, of the
// decoding of a data file or of the kernel is the result; otherwise the list of
// differences from the published outputs (empty when all match).
Result<std::vector<std::string>> run(const NodeTest& test, const Node& node) {
  WD_TRY(const OpKind kind, build_op_kind(node));
  const DecodedModel& model = test.model;
  std::vector<fs::path> sets;
  for (const auto& entry : fs::directory_iterator(test.dir)) {
    if (entry.is_directory()) sets.push_back(entry.path());
  }
  std::sort(sets.begin(), sets.end());
  std::vector<std::string> differences;
  for (const fs::path& set : sets) {
    std::map<std::string, Tensor> values;
    for (const Initializer& initializer : model.initializers) {
      values[initializer.name] = initializer.tensor;
    }
    for (std::size_t k = 0; k < model.input_names.size(); ++k) {
      const fs::path file = set / ("input_" + std::to_string(k) + ".pb");
      if (!fs::exists(file)) continue;
      WD_TRY(Initializer input, decode_tensor(read_bytes(file)));
      values[model.input_names[k]] = std::move(input.tensor);
    }
    std::vector<const Tensor*> inputs;
    for (const std::string& name : node.inputs) {
      const auto found = values.find(name);
      inputs.push_back(name.empty() || found == values.end() ? nullptr : &found->second);
    }
    WD_TRY(const Outputs outputs, evaluate_op(kind, inputs));
    for (std::size_t k = 0; k < model.output_names.size(); ++k) {
      const std::string& name = model.output_names[k];
      WD_TRY(const Initializer expected,
             decode_tensor(read_bytes(set / ("output_" + std::to_string(k) + ".pb"))));
      const auto position = std::find(node.outputs.begin(), node.outputs.end(), name);
      if (position == node.outputs.end()) continue;  // an output the node was not asked for
      const auto j = static_cast<std::size_t>(position - node.outputs.begin());
      const std::string where = set.filename().string() + " " + name;
      if (j >= outputs.size()) {
        differences.push_back(where + ": not produced");
        continue;
      }
      std::string difference = compare(outputs[j], expected.tensor, where);
      if (!difference.empty()) differences.push_back(std::move(difference));
    }
  }
  return differences;
}

struct Tally {
  int passed = 0;
  int refused = 0;
  int output_checked = 0;  // refused, with the normalised output checked all the same
  std::vector<std::string> failures;
  std::set<std::string> unbuilt;
};

void check(const NodeTest& test, Tally& tally) {
  const Node& node = test.model.nodes[0];
  const Result<std::vector<std::string>> result = run(test, node);
  const Known* entry = known(test.name);
  const auto failed = [&](const std::string& what) {
    tally.failures.push_back(test.name + ": " + what);
  };
  if (!result) {
    const std::string& message = result.error().message;
    if (message.ends_with(" is not built yet")) {
      tally.unbuilt.insert(node.op_type);
      failed(message);
    } else if (!entry) {
      failed("refused with \"" + message + "\"");
    } else if (message != entry->message) {
      failed("refused with \"" + message + "\", expected \"" + entry->message + "\"");
    } else {
      ++tally.refused;
      if (entry->treatment == Treatment::RefusedStatisticsChecked) {
        ++tally.output_checked;
        Node normalised_only = node;
        for (std::size_t k = 1; k < normalised_only.outputs.size(); ++k) {
          normalised_only.outputs[k].clear();
        }
        const Result<std::vector<std::string>> output = run(test, normalised_only);
        if (!output) {
          failed("normalised output refused with \"" + output.error().message + "\"");
        } else {
          for (const std::string& difference : *output) failed(difference);
        }
      }
    }
    return;
  }
  if (entry) {
    failed("is listed as refused with \"" + std::string(entry->message) + "\" but ran");
  } else if (!result->empty()) {
    for (const std::string& difference : *result) failed(difference);
  } else {
    ++tally.passed;
  }
}

class OperatorConformance : public testing::TestWithParam<std::string> {};

TEST_P(OperatorConformance, ReproducesPublishedResultsOrRefuses) {
  const auto family = corpus().by_operator.find(GetParam());
  ASSERT_NE(family, corpus().by_operator.end()) << "no published test of " << GetParam();
  Tally tally;
  for (const NodeTest& test : family->second) check(test, tally);
  for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
  std::printf("%s: %zu tests, %d passed, %d refused (%d with the output checked)\n",
              GetParam().c_str(), family->second.size(), tally.passed, tally.refused,
              tally.output_checked);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, OperatorConformance,
                         testing::ValuesIn(std::vector<std::string>(std::begin(kOperators),
                                                                   std::end(kOperators))),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

TEST(Conformance, CoversTheCorpusAndEveryListedTest) {
  ASSERT_TRUE(fs::is_directory(kNodeTests)) << kNodeTests << " is missing";
  for (const std::string& problem : corpus().problems) ADD_FAILURE() << problem;
  std::set<std::string> applicable;
  Tally tally;
  std::size_t total = 0;
  for (const auto& [op_type, tests] : corpus().by_operator) {
    for (const NodeTest& test : tests) {
      applicable.insert(test.name);
      check(test, tally);
      ++total;
    }
  }
  for (const Known& entry : kKnown) {
    EXPECT_TRUE(applicable.contains(entry.test)) << entry.test << " is listed but not run";
  }
  std::string unbuilt;
  for (const std::string& op_type : tally.unbuilt) unbuilt += " " + op_type;
  std::printf(
      "conformance: %zu operator tests, %d passed, %d refused (%d with the output checked), "
      "%zu failing%s%s\n",
      total, tally.passed, tally.refused, tally.output_checked, tally.failures.size(),
              unbuilt.empty() ? "" : "; not built yet:", unbuilt.c_str());
}

}  // namespace
}  // namespace wd
