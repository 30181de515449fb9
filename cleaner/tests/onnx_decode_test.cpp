#include "onnx.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace wd {
namespace {

using Bytes = std::vector<uint8_t>;

// A minimal protobuf writer, enough to spell out ONNX messages by field number.
Bytes varint(uint64_t v) {
  Bytes out;
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes key(uint64_t number, uint64_t wire_type) { return varint(number << 3 | wire_type); }
Bytes int_field(uint64_t number, uint64_t v) { return cat({key(number, 0), varint(v)}); }
Bytes msg_field(uint64_t number, const Bytes& payload) {
  return cat({key(number, 2), varint(payload.size()), payload});
}
Bytes text_field(uint64_t number, std::string_view text) {
  return msg_field(number, Bytes(text.begin(), text.end()));
}
Bytes float_field(uint64_t number, float f) {
  const uint32_t bits = std::bit_cast<uint32_t>(f);
  return cat({key(number, 5), Bytes{static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                    static_cast<uint8_t>(bits >> 16),
                                    static_cast<uint8_t>(bits >> 24)}});
}
Bytes le_floats(std::initializer_list<float> values) {
  Bytes out(values.size() * 4);
  std::memcpy(out.data(), std::data(values), out.size());
  return out;
}

Bytes model_of_graph(const Bytes& graph) { return msg_field(7, graph); }
Bytes graph_of_node(const Bytes& node) { return msg_field(1, node); }
Bytes graph_of_tensor(const Bytes& tensor) { return msg_field(5, tensor); }
Bytes model_of_node(const Bytes& node) { return model_of_graph(graph_of_node(node)); }
Bytes model_of_tensor(const Bytes& tensor) { return model_of_graph(graph_of_tensor(tensor)); }
Bytes node_of_attribute(const Bytes& attribute) {
  return cat({text_field(4, "Op"), msg_field(5, attribute)});
}

std::string failure_of(const Bytes& bytes) {
  auto model = decode_model(bytes);
  return model.ok() ? std::string("(decoded)") : model.error().message;
}

struct FailureCase {
  const char* what;
  Bytes bytes;
  std::string message;
};

TEST(DecodeModel, Failures) {
  const Bytes good_graph = graph_of_node(text_field(4, "Relu"));
  const FailureCase cases[] = {
      {"empty file", {}, "not an ONNX model"},
      {"only an ir_version", int_field(1, 8), "not an ONNX model"},
      {"metadata but no graph", msg_field(14, cat({text_field(1, "k"), text_field(2, "v")})),
       "not an ONNX model"},
      {"graph of length 0", msg_field(7, {}), "not an ONNX model"},
      {"graph given as a Varint", int_field(7, 3), "not an ONNX model"},
      {"a later empty graph replaces a good one",
       cat({model_of_graph(good_graph), msg_field(7, {})}), "not an ONNX model"},
      {"top-level wire type 3", cat({model_of_graph(good_graph), Bytes{0x0B}}), "wire type 3"},
      {"graph longer than the file", {0x3A, 0x05, 0x0A, 0x00}, "the file ends early"},
      {"node input as a Varint", model_of_node(int_field(1, 4)), "a malformed string"},
      {"node output as fixed32", model_of_node(float_field(2, 1.0f)), "a malformed string"},
      {"node op_type as a Varint", model_of_node(int_field(4, 1)), "a malformed string"},
      {"node domain as a Varint", model_of_node(int_field(7, 1)), "a malformed string"},
      {"node input not UTF-8", model_of_node(msg_field(1, {0xC3, 0x28})),
       "text that is not UTF-8"},
      {"attribute s not UTF-8 under type INT",
       model_of_node(node_of_attribute(cat({text_field(1, "axis"), int_field(3, 1),
                                            msg_field(4, {0xFF}), int_field(20, 2)}))),
       "text that is not UTF-8"},
      {"attribute s not UTF-8 without a type",
       model_of_node(node_of_attribute(cat({text_field(1, "unused"), msg_field(4, {0xC0, 0xAF})}))),
       "text that is not UTF-8"},
      {"attribute s as a Varint", model_of_node(node_of_attribute(int_field(4, 1))),
       "a malformed string"},
      {"attribute name not UTF-8",
       model_of_node(node_of_attribute(msg_field(1, {0xED, 0xA0, 0x80}))),
       "text that is not UTF-8"},
      {"attribute ints as fixed32", model_of_node(node_of_attribute(float_field(8, 1.0f))),
       "a malformed list of integers"},
      {"graph output with only a type",
       model_of_graph(msg_field(12, msg_field(2, msg_field(1, int_field(1, 1))))),
       "a graph input with no name"},
      {"graph input with no fields", model_of_graph(msg_field(11, {})),
       "a graph input with no name"},
      {"value info name as a Varint", model_of_graph(msg_field(11, int_field(1, 5))),
       "a malformed string"},
      {"value info broken before its name", model_of_graph(msg_field(11, Bytes{0x13})),
       "wire type 3"},
      {"metadata key as a Varint",
       cat({model_of_graph(good_graph), msg_field(14, int_field(1, 1))}),
       "a malformed string"},
      {"metadata value not UTF-8",
       cat({model_of_graph(good_graph), msg_field(14, msg_field(2, {0xF5, 0x80, 0x80, 0x80}))}),
       "text that is not UTF-8"},
      {"metadata fails before the graph is read",
       cat({model_of_node(int_field(1, 4)), msg_field(14, msg_field(1, {0x80}))}),
       "text that is not UTF-8"},
      {"the first failing node ends the load",
       model_of_graph(cat({graph_of_node(int_field(1, 4)), graph_of_node(int_field(20, 4)),
                           graph_of_node(msg_field(1, {0xFF}))})),
       "a malformed string"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(failure_of(c.bytes), c.message);
  }
}

TEST(DecodeModel, OnlyTheLastGraphIsDecoded) {
  // The first graph holds a field of wire type 3, which would fail if read.
  const Bytes bytes = cat({msg_field(7, Bytes{0x0B}), model_of_node(text_field(4, "Relu"))});
  auto model = decode_model(bytes);
  ASSERT_TRUE(model.ok()) << model.error().message;
  ASSERT_EQ(model->nodes.size(), 1u);
  EXPECT_EQ(model->nodes[0].op_type, "Relu");
}

TEST(DecodeModel, Metadata) {
  const Bytes bytes = cat({
      msg_field(14, text_field(2, "no key")),
      msg_field(14, cat({text_field(1, "rate"), text_field(2, "8000")})),
      model_of_node(text_field(4, "Relu")),
      msg_field(14, cat({text_field(2, "16000"), text_field(1, "rate")})),
      msg_field(14, cat({text_field(1, "first"), text_field(1, "key")})),
      int_field(14, 5),  // not an entry: skipped
      msg_field(14, cat({text_field(1, "title"), text_field(2, "d\xC3\xA9"), int_field(3, 1)})),
  });
  auto model = decode_model(bytes);
  ASSERT_TRUE(model.ok()) << model.error().message;
  const std::map<std::string, std::string> expected = {
      {"", "no key"}, {"rate", "16000"}, {"key", ""}, {"title", "d\xC3\xA9"}};
  EXPECT_EQ(model->metadata, expected);
}

TEST(DecodeModel, GraphFieldsAndNodes) {
  const Bytes node = cat({
      text_field(1, "x"),
      text_field(1, ""),
      int_field(5, 9),  // attribute as a Varint: skipped
      text_field(2, "y"),
      text_field(4, "First"),
      text_field(4, "Conv"),
      text_field(3, "node name"),
      msg_field(6, {0xFF}),  // doc_string, not read
      text_field(7, "ai.onnx"),
      text_field(1, "b"),
      msg_field(5, cat({text_field(1, "group"), int_field(3, 1), int_field(20, 2)})),
      msg_field(5, cat({text_field(1, "group"), int_field(3, 4), int_field(20, 2)})),
  });
  const Bytes graph = cat({
      graph_of_node(node),
      int_field(1, 1),                         // a node as a Varint: skipped
      msg_field(11, text_field(1, "spec")),
      msg_field(11, cat({text_field(1, ""), Bytes{0x0F}})),  // nothing after the name is read
      msg_field(12, cat({msg_field(2, {}), text_field(1, "out"), text_field(1, "again")})),
      graph_of_node({}),
      text_field(2, "graph name"),
      msg_field(11, text_field(1, "state_in")),
  });
  auto model = decode_model(model_of_graph(graph));
  ASSERT_TRUE(model.ok()) << model.error().message;
  ASSERT_EQ(model->nodes.size(), 2u);
  const Node& conv = model->nodes[0];
  EXPECT_EQ(conv.op_type, "Conv");
  EXPECT_EQ(conv.domain, "ai.onnx");
  EXPECT_EQ(conv.inputs, (std::vector<std::string>{"x", "", "b"}));
  EXPECT_EQ(conv.outputs, (std::vector<std::string>{"y"}));
  ASSERT_EQ(conv.attributes.size(), 1u);
  EXPECT_EQ(std::get<int64_t>(conv.attributes.at("group")), 4);
  const Node& empty = model->nodes[1];
  EXPECT_EQ(empty.op_type, "");
  EXPECT_EQ(empty.domain, "");
  EXPECT_TRUE(empty.inputs.empty());
  EXPECT_TRUE(empty.attributes.empty());
  EXPECT_EQ(model->input_names, (std::vector<std::string>{"spec", "", "state_in"}));
  EXPECT_EQ(model->output_names, (std::vector<std::string>{"out"}));
  EXPECT_TRUE(model->initializers.empty());
}

struct AttributeCase {
  const char* what;
  Bytes fields;  // everything but the name
  AttributeValue expected;
};

TEST(DecodeModel, AttributeKinds) {
  const AttributeCase cases[] = {
      {"float", cat({float_field(2, -0.75f), int_field(20, 1)}), -0.75f},
      {"float absent", int_field(20, 1), 0.0f},
      {"float as a Varint is ignored", cat({int_field(2, 7), int_field(20, 1)}), 0.0f},
      {"int", cat({int_field(3, ~uint64_t{0}), int_field(20, 2)}), int64_t{-1}},
      {"int wins over f under type 2",
       cat({float_field(2, 2.5f), int_field(3, 3), int_field(20, 2)}),
       int64_t{3}},
      {"int given as fixed32 is ignored", cat({float_field(3, 1.0f), int_field(20, 2)}),
       int64_t{0}},
      {"later i replaces earlier", cat({int_field(3, 1), int_field(3, 2), int_field(20, 2)}),
       int64_t{2}},
      {"text", cat({text_field(4, "reflect"), int_field(20, 3)}), std::string("reflect")},
      {"text absent", int_field(20, 3), std::string()},
      {"ints mixed packed and unpacked",
       cat({int_field(8, 1), msg_field(8, cat({varint(2), varint(~uint64_t{0})})),
            int_field(20, 7)}),
       std::vector<int64_t>{1, 2, -1}},
      {"ints absent", int_field(20, 7), std::vector<int64_t>{}},
      {"floats type", cat({msg_field(7, le_floats({1.0f})), int_field(20, 6)}),
       UnsupportedAttribute{}},
      {"tensor type", cat({msg_field(5, {}), int_field(20, 4)}), UnsupportedAttribute{}},
      {"graph type", int_field(20, 5), UnsupportedAttribute{}},
      {"strings type", int_field(20, 8), UnsupportedAttribute{}},
      {"no type at all", cat({int_field(3, 5), float_field(2, 1.0f)}), UnsupportedAttribute{}},
      {"type as fixed32 is ignored", cat({int_field(3, 5), float_field(20, 1.0f)}),
       UnsupportedAttribute{}},
      {"type replaced by a later one", cat({int_field(3, 5), int_field(20, 1), int_field(20, 2)}),
       int64_t{5}},
  };
  for (const AttributeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes attribute = cat({text_field(1, "a"), c.fields});
    auto model = decode_model(model_of_node(node_of_attribute(attribute)));
    ASSERT_TRUE(model.ok()) << model.error().message;
    ASSERT_EQ(model->nodes.size(), 1u);
    const auto& attributes = model->nodes[0].attributes;
    ASSERT_EQ(attributes.count("a"), 1u);
    const AttributeValue& value = attributes.at("a");
    ASSERT_EQ(value.index(), c.expected.index());
    if (const float* f = std::get_if<float>(&value)) {
      // Bit patterns, so that -0.0 and 0.0 would differ.
      EXPECT_EQ(std::bit_cast<uint32_t>(*f), std::bit_cast<uint32_t>(std::get<float>(c.expected)));
    } else if (const int64_t* i = std::get_if<int64_t>(&value)) {
      EXPECT_EQ(*i, std::get<int64_t>(c.expected));
    } else if (const std::string* text = std::get_if<std::string>(&value)) {
      EXPECT_EQ(*text, std::get<std::string>(c.expected));
    } else if (const auto* ints = std::get_if<std::vector<int64_t>>(&value)) {
      EXPECT_EQ(*ints, std::get<std::vector<int64_t>>(c.expected));
    }
  }
}

TEST(DecodeModel, AttributeWithoutNameIsStoredUnderEmptyName) {
  const Bytes attribute = cat({int_field(3, 5), int_field(20, 2)});
  auto model = decode_model(model_of_node(node_of_attribute(attribute)));
  ASSERT_TRUE(model.ok()) << model.error().message;
  EXPECT_EQ(std::get<int64_t>(model->nodes[0].attributes.at("")), 5);
}

// A TensorProto with name "w", the given data type and dims, and extra fields.
Bytes tensor(uint64_t data_type, std::initializer_list<uint64_t> dims, const Bytes& rest) {
  Bytes out = text_field(8, "w");
  for (const uint64_t d : dims) out = cat({out, int_field(1, d)});
  return cat({out, int_field(2, data_type), rest});
}

struct TensorCase {
  const char* what;
  Bytes tensor;
  Shape shape;
  std::vector<float> floats;     // for FLOAT tensors
  std::vector<int64_t> int64s;   // for INT64 tensors
  bool is_float;
};

TEST(DecodeTensor, Values) {
  const Bytes six = le_floats({1, 2, 3, 4, 5, 6});
  const Bytes six_and_one = cat({six, Bytes{0xAA}});
  const Bytes int64s_raw = {1, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::vector<float> six_values = {1, 2, 3, 4, 5, 6};
  const TensorCase cases[] = {
      {"raw floats, 24 bytes", tensor(1, {2, 3}, msg_field(9, six)), {2, 3}, six_values, {}, true},
      {"raw floats, 25 bytes", tensor(1, {2, 3}, msg_field(9, six_and_one)), {2, 3}, six_values,
       {}, true},
      {"raw floats, 27 bytes", tensor(1, {2, 3}, msg_field(9, cat({six, Bytes{1, 2, 3}}))),
       {2, 3}, six_values, {}, true},
      {"raw data wins over float_data",
       tensor(1, {2, 3}, cat({msg_field(4, le_floats({9, 9, 9})), msg_field(9, six)})), {2, 3},
       six_values, {}, true},
      {"a later raw_data replaces an earlier one",
       tensor(1, {1}, cat({msg_field(9, le_floats({7})), msg_field(9, le_floats({8}))})), {1},
       {8}, {}, true},
      {"empty raw data falls back to float_data",
       tensor(1, {2}, cat({msg_field(9, {}), float_field(4, 0.5f), float_field(4, -1.0f)})), {2},
       {0.5f, -1.0f}, {}, true},
      {"packed and single float_data", tensor(1, {3}, cat({msg_field(4, le_floats({1, 2})),
                                                           float_field(4, 3)})),
       {3}, {1, 2, 3}, {}, true},
      {"scalar", tensor(1, {}, float_field(4, 42.0f)), {}, {42.0f}, {}, true},
      {"zero extent, no values", tensor(1, {0, 4}, {}), {0, 4}, {}, {}, true},
      {"raw int64s with trailing bytes", tensor(7, {2}, msg_field(9, cat({int64s_raw, Bytes{1}}))),
       {2}, {}, {1, -2}, false},
      {"int64_data mixed", tensor(7, {3}, cat({int_field(7, 5), msg_field(7, cat({varint(6),
                                                                                  varint(7)}))})),
       {3}, {}, {5, 6, 7}, false},
      {"packed dims", cat({text_field(8, "w"), msg_field(1, cat({varint(1), varint(2)})),
                           int_field(2, 1), msg_field(9, le_floats({1, 2}))}),
       {1, 2}, {1, 2}, {}, true},
      {"data_location other than 1", tensor(1, {1}, cat({int_field(14, 0), float_field(4, 1)})),
       {1}, {1}, {}, true},
      {"data_location as a fixed32 is ignored",
       tensor(1, {1}, cat({float_field(14, 1.0f), float_field(4, 1)})), {1}, {1}, {}, true},
      {"data_type given later replaces", cat({tensor(6, {1}, float_field(4, 1)), int_field(2, 1)}),
       {1}, {1}, {}, true},
  };
  for (const TensorCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = decode_tensor(c.tensor);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded->name, "w");
    const Tensor& t = decoded->tensor;
    EXPECT_EQ(t.shape, c.shape);
    EXPECT_EQ(t.type, c.is_float ? ElementType::F32 : ElementType::I64);
    EXPECT_EQ(t.f32, c.floats);
    EXPECT_EQ(t.i64, c.int64s);
  }
}

TEST(DecodeTensor, Failures) {
  const Bytes six = le_floats({1, 2, 3, 4, 5, 6});
  const uint64_t minus_one = ~uint64_t{0};
  const FailureCase cases[] = {
      {"raw floats, 20 bytes", tensor(1, {2, 3}, msg_field(9, Bytes(six.begin(), six.end() - 4))),
       "w has 5 values for 6"},
      {"raw int64s, 15 bytes", tensor(7, {2}, msg_field(9, Bytes(15, 0))), "w has 1 values for 2"},
      {"no dims and no values", tensor(1, {}, {}), "w has 0 values for 1"},
      {"float_data ignored for INT64", tensor(7, {1}, float_field(4, 1)), "w has 0 values for 1"},
      {"INT32 that would fit", tensor(6, {1}, msg_field(9, Bytes(4, 0))), "w has element type 6"},
      {"no data type", cat({text_field(8, "w"), float_field(4, 1)}), "w has element type 0"},
      {"data type as a fixed32 is ignored", cat({text_field(8, "w"), float_field(2, 1.0f)}),
       "w has element type 0"},
      {"DOUBLE", tensor(11, {1}, {}), "w has element type 11"},
      {"external with raw data", tensor(1, {1}, cat({msg_field(9, le_floats({1})),
                                                      int_field(14, 1)})),
       "weights stored outside the file"},
      {"external before the type is known", cat({int_field(14, 1), int_field(2, 6)}),
       "weights stored outside the file"},
      {"dims as fixed64", cat({key(1, 1), Bytes(8, 0)}), "a malformed list of integers"},
      {"float_data as a Varint", tensor(1, {1}, int_field(4, 1)), "a malformed list of floats"},
      {"float_data of 6 bytes", tensor(1, {1}, msg_field(4, Bytes(6, 0))),
       "a malformed list of floats"},
      {"int64_data as fixed32", tensor(7, {1}, float_field(7, 1)), "a malformed list of integers"},
      {"name as a Varint", int_field(8, 1), "a malformed string"},
      // Counts are compared in unsigned arithmetic: a dim of -1 is 2^64 - 1.
      {"negative dim", tensor(1, {minus_one}, float_field(4, 1)),
       "w has 1 values for 18446744073709551615"},
      // A huge shape against a few values is a count mismatch, found before any
      // allocation the shape would suggest.
      {"dims far beyond the data", tensor(1, {uint64_t{1} << 40}, float_field(4, 1)),
       "w has 1 values for 1099511627776"},
      {"dims whose product wraps to the count",
       tensor(1, {minus_one, minus_one}, float_field(4, 1)),
       "w is too large"},
      {"dims whose product wraps to zero", tensor(1, {uint64_t{1} << 32, uint64_t{1} << 32}, {}),
       "w is too large"},
      {"an empty tensor with an absurd extent", tensor(1, {0, uint64_t{1} << 40}, {}),
       "w is too large"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = decode_tensor(c.bytes);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().message, c.message);
    // An initializer fails the whole model with the same text.
    EXPECT_EQ(failure_of(model_of_tensor(c.bytes)), c.message);
  }
}

TEST(DecodeModel, InitializersInFileOrder) {
  const Bytes graph = cat({
      graph_of_tensor(tensor(1, {2}, msg_field(9, le_floats({0.25f, -8.0f})))),
      graph_of_node(text_field(4, "Add")),
      graph_of_tensor(cat({text_field(8, "shape"), int_field(1, 2), int_field(2, 7),
                           int_field(7, 1), int_field(7, ~uint64_t{0})})),
  });
  auto model = decode_model(model_of_graph(graph));
  ASSERT_TRUE(model.ok()) << model.error().message;
  ASSERT_EQ(model->initializers.size(), 2u);
  EXPECT_EQ(model->initializers[0].name, "w");
  EXPECT_EQ(model->initializers[0].tensor.f32, (std::vector<float>{0.25f, -8.0f}));
  EXPECT_EQ(model->initializers[1].name, "shape");
  EXPECT_EQ(model->initializers[1].tensor.shape, (Shape{2}));
  EXPECT_EQ(model->initializers[1].tensor.i64, (std::vector<int64_t>{1, -1}));
}

// Field number 0 is no field of any ONNX message: in every form and at every level
// it is passed over, even where its bytes would fail as a nested message.
TEST(DecodeModel, FieldNumberZeroIsIgnoredEverywhere) {
  const auto model_with = [](const Bytes& zero) {
    const Bytes attribute = cat({zero, text_field(1, "axis"), zero, int_field(3, 2), zero,
                                 int_field(20, 2), zero});
    const Bytes node = cat({zero, text_field(1, "x"), zero, text_field(2, "y"), zero,
                            text_field(4, "Flatten"), zero, msg_field(5, attribute), zero,
                            text_field(7, "ai.onnx"), zero});
    const Bytes initializer = cat({zero, tensor(1, {2}, cat({zero, float_field(4, 1.5f), zero,
                                                             float_field(4, -2.0f), zero}))});
    const Bytes graph = cat({zero, graph_of_node(node), zero, graph_of_tensor(initializer), zero,
                             msg_field(11, cat({zero, text_field(1, "spec")})), zero,
                             msg_field(12, cat({zero, text_field(1, "spec_e")})), zero});
    return cat({zero, msg_field(14, cat({zero, text_field(1, "k"), zero, text_field(2, "v"), zero})),
                zero, model_of_graph(graph), zero});
  };
  auto plain = decode_model(model_with({}));
  ASSERT_TRUE(plain.ok()) << plain.error().message;
  auto zeros = decode_model(
      model_with(cat({int_field(0, 7), msg_field(0, Bytes{0x0B}), float_field(0, 1.0f)})));
  ASSERT_TRUE(zeros.ok()) << zeros.error().message;

  for (const DecodedModel* model : {&*plain, &*zeros}) {
    ASSERT_EQ(model->nodes.size(), 1u);
    const Node& node = model->nodes[0];
    EXPECT_EQ(node.op_type, "Flatten");
    EXPECT_EQ(node.domain, "ai.onnx");
    EXPECT_EQ(node.inputs, std::vector<std::string>{"x"});
    EXPECT_EQ(node.outputs, std::vector<std::string>{"y"});
    ASSERT_EQ(node.attributes.size(), 1u);
    EXPECT_EQ(std::get<int64_t>(node.attributes.at("axis")), 2);
    ASSERT_EQ(model->initializers.size(), 1u);
    EXPECT_EQ(model->initializers[0].name, "w");
    EXPECT_EQ(model->initializers[0].tensor.shape, Shape{2});
    EXPECT_EQ(model->initializers[0].tensor.f32, (std::vector<float>{1.5f, -2.0f}));
    EXPECT_EQ(model->input_names, std::vector<std::string>{"spec"});
    EXPECT_EQ(model->output_names, std::vector<std::string>{"spec_e"});
    EXPECT_EQ(model->metadata, (std::map<std::string, std::string>{{"k", "v"}}));
  }
}

std::filesystem::path source_dir() {
  const char* dir = std::getenv("WD_SOURCE_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::current_path();
}

Bytes read_fixture(const char* name) {
  const std::filesystem::path path = source_dir() / "models" / "fixtures" / name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// decode_everything.onnx is written by ONNX's own serializer (make_fixtures.py).
TEST(DecodeFixture, Everything) {
  const Bytes bytes = read_fixture("decode_everything.onnx");
  auto model = decode_model(bytes);
  ASSERT_TRUE(model.ok()) << model.error().message;

  EXPECT_EQ(model->input_names, (std::vector<std::string>{"spec", "state_in"}));
  EXPECT_EQ(model->output_names, (std::vector<std::string>{"spec_e", "state_out"}));
  const std::map<std::string, std::string> metadata = {{"sample_rate", "16000"},
                                                       {"title", "d\xC3\xA9" "bruitage"}};
  EXPECT_EQ(model->metadata, metadata);

  ASSERT_EQ(model->nodes.size(), 3u);
  const Node& node = model->nodes[0];
  EXPECT_EQ(node.op_type, "Everything");
  EXPECT_EQ(node.domain, "com.example");
  EXPECT_EQ(node.inputs, (std::vector<std::string>{"spec", "", "w_raw"}));
  EXPECT_EQ(node.outputs, (std::vector<std::string>{"mid", ""}));
  ASSERT_EQ(node.attributes.size(), 8u);
  EXPECT_EQ(std::get<float>(node.attributes.at("alpha")), 0.5f);
  EXPECT_EQ(std::get<int64_t>(node.attributes.at("axis")), -1);
  EXPECT_EQ(std::get<std::string>(node.attributes.at("mode")), "constant");
  EXPECT_EQ(std::get<std::vector<int64_t>>(node.attributes.at("pads")),
            (std::vector<int64_t>{1, 0, -1}));
  for (const char* name : {"scales", "names", "value", "body"}) {
    EXPECT_TRUE(std::holds_alternative<UnsupportedAttribute>(node.attributes.at(name))) << name;
  }
  EXPECT_EQ(model->nodes[1].op_type, "Identity");
  EXPECT_EQ(model->nodes[1].domain, "");
  EXPECT_EQ(model->nodes[2].inputs, (std::vector<std::string>{"state_in"}));

  ASSERT_EQ(model->initializers.size(), 6u);
  const auto& inits = model->initializers;
  EXPECT_EQ(inits[0].name, "w_raw");
  EXPECT_EQ(inits[0].tensor.shape, (Shape{2, 3}));
  EXPECT_EQ(inits[0].tensor.f32, (std::vector<float>{1.5f, -2.0f, 3.25f, 0.0f, 0.001f, -7.0f}));
  EXPECT_EQ(inits[1].name, "w_list");
  EXPECT_EQ(inits[1].tensor.shape, (Shape{3}));
  EXPECT_EQ(inits[1].tensor.f32, (std::vector<float>{0.5f, -0.25f, 8.0f}));
  EXPECT_EQ(inits[2].name, "shape_raw");
  EXPECT_EQ(inits[2].tensor.type, ElementType::I64);
  EXPECT_EQ(inits[2].tensor.i64, (std::vector<int64_t>{1, -1}));
  EXPECT_EQ(inits[3].name, "axes_list");
  EXPECT_EQ(inits[3].tensor.i64, (std::vector<int64_t>{0, -3, 9007199254740993}));
  EXPECT_EQ(inits[4].name, "scalar");
  EXPECT_EQ(inits[4].tensor.shape, Shape{});
  EXPECT_EQ(inits[4].tensor.f32, (std::vector<float>{42.0f}));
  EXPECT_EQ(inits[5].name, "empty");
  EXPECT_EQ(inits[5].tensor.shape, (Shape{0, 4}));
  EXPECT_TRUE(inits[5].tensor.f32.empty());
}

TEST(DecodeFixture, ExternalWeights) {
  EXPECT_EQ(failure_of(read_fixture("decode_external.onnx")), "weights stored outside the file");
}

TEST(DecodeFixture, LoneTensor) {
  auto decoded = decode_tensor(read_fixture("decode_tensor.pb"));
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded->name, "x");
  EXPECT_EQ(decoded->tensor.type, ElementType::I64);
  EXPECT_EQ(decoded->tensor.shape, (Shape{3, 2}));
  EXPECT_EQ(decoded->tensor.i64, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
}

// Cut or damaged files must end in a result, success or failure, never in a fault
// (the sanitizer build turns any stray read into a failed test).
TEST(DecodeFixture, EveryPrefixAndDamagedByteEndsInAResult) {
  const Bytes bytes = read_fixture("decode_everything.onnx");
  ASSERT_FALSE(bytes.empty());
  size_t decoded = 0;
  for (size_t n = 0; n < bytes.size(); ++n) {
    auto model = decode_model(std::span(bytes.data(), n));
    if (model.ok()) {
      ++decoded;
    } else {
      EXPECT_FALSE(model.error().message.empty()) << "prefix " << n;
    }
  }
  // The serializer writes ir_version, producer_name, graph, one opset_import and two
  // metadata entries, in that order. Only a cut at one of the three field boundaries
  // after the graph leaves a complete model; every other cut fails.
  EXPECT_EQ(decoded, 3u);
  EXPECT_EQ(failure_of({}), "not an ONNX model");

  for (size_t i = 0; i < bytes.size(); ++i) {
    for (const uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      Bytes damaged = bytes;
      damaged[i] ^= flip;
      auto model = decode_model(damaged);
      if (!model.ok()) {
        EXPECT_FALSE(model.error().message.empty());
      }
    }
  }
}

}  // namespace
}  // namespace wd
