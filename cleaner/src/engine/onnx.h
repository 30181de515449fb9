// Decoding the ONNX messages of a model file into plain records.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "result.h"
#include "tensor.h"

namespace wd {

struct UnsupportedAttribute {};
// Float, Int, Text, Ints, or a kind this system does not read.
using AttributeValue =
    std::variant<UnsupportedAttribute, float, int64_t, std::string, std::vector<int64_t>>;

struct Node {
  std::string op_type;
  std::string domain;
  std::vector<std::string> inputs;   // an empty name is an omitted input
  std::vector<std::string> outputs;
  std::unordered_map<std::string, AttributeValue> attributes;
};

struct Initializer {
  std::string name;
  Tensor tensor;
};

struct DecodedModel {
  std::vector<Node> nodes;
  std::vector<Initializer> initializers;
  std::vector<std::string> input_names;
  std::vector<std::string> output_names;
  std::map<std::string, std::string> metadata;
};

Result<DecodedModel> decode_model(std::span<const uint8_t> bytes);
// One serialized TensorProto (an initializer, or a test data file).
Result<Initializer> decode_tensor(std::span<const uint8_t> bytes);

}  // namespace wd
