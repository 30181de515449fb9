#include "onnx.h"

#include <bit>
#include <cstring>
#include <optional>

#include "wire.h"

namespace wd {

namespace {

// Every decoder below reads one message of fixed kind and hands nested messages to
// the decoder of the next kind down; none calls itself, so the nesting depth is
// bounded by the ONNX message layout and not by the file.

bool is_bytes(const WireValue& value) { return value.kind == WireValue::Kind::Bytes; }

// Copies `count` little-endian values of T from the start of `raw` (which holds at
// least that many bytes) in one block.
template <typename T>
std::vector<T> copy_raw(ByteRange raw, uint64_t count) {
  static_assert(std::endian::native == std::endian::little);
  std::vector<T> values(count);
  if (count != 0) std::memcpy(values.data(), raw.data(), count * sizeof(T));
  return values;
}

Result<std::pair<std::string, std::string>> decode_metadata_entry(ByteRange bytes) {
  std::pair<std::string, std::string> entry;
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) return entry;
    if (field->number == 1) {
      WD_TRY(entry.first, decode_text(field->value));
    } else if (field->number == 2) {
      WD_TRY(entry.second, decode_text(field->value));
    }
  }
}

Result<std::string> read_value_info_name(ByteRange bytes) {
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) return fail("a graph input with no name");
    if (field->number == 1) return decode_text(field->value);
  }
}

Result<std::pair<std::string, AttributeValue>> decode_attribute(ByteRange bytes) {
  std::string name;
  float f = 0.0f;
  int64_t i = 0;
  std::string s;
  std::vector<int64_t> ints;
  uint64_t type = 0;
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) break;
    const WireValue& value = field->value;
    switch (field->number) {
      case 1: {
        WD_TRY(name, decode_text(value));
        break;
      }
      case 2:
        if (value.kind == WireValue::Kind::Fixed32) f = std::bit_cast<float>(value.fixed32);
        break;
      case 3:
        if (value.kind == WireValue::Kind::Varint) i = static_cast<int64_t>(value.varint);
        break;
      case 4: {
        WD_TRY(s, decode_text(value));
        break;
      }
      case 8: {
        WD_CHECK(append_int64s(value, ints));
        break;
      }
      case 20:
        if (value.kind == WireValue::Kind::Varint) type = value.varint;
        break;
      default:
        break;
    }
  }
  AttributeValue result;
  switch (type) {
    case 1:
      result = f;
      break;
    case 2:
      result = i;
      break;
    case 3:
      result = std::move(s);
      break;
    case 7:
      result = std::move(ints);
      break;
    default:
      break;
  }
  return std::pair{std::move(name), std::move(result)};
}

Result<Node> decode_node(ByteRange bytes) {
  Node node;
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) return node;
    const WireValue& value = field->value;
    switch (field->number) {
      case 1: {
        WD_TRY(std::string input, decode_text(value));
        node.inputs.push_back(std::move(input));
        break;
      }
      case 2: {
        WD_TRY(std::string output, decode_text(value));
        node.outputs.push_back(std::move(output));
        break;
      }
      case 4: {
        WD_TRY(node.op_type, decode_text(value));
        break;
      }
      case 5: {
        if (is_bytes(value)) {
          WD_TRY(auto attribute, decode_attribute(value.bytes));
          node.attributes.insert_or_assign(std::move(attribute.first), std::move(attribute.second));
        }
        break;
      }
      case 7: {
        WD_TRY(node.domain, decode_text(value));
        break;
      }
      default:
        break;
    }
  }
}

// Shape and value count of a tensor are checked against each other before any
// value is copied, so nothing is ever allocated from the dims alone.
Result<Tensor> make_tensor(const std::string& name, std::vector<int64_t> dims, uint64_t data_type,
                           std::optional<ByteRange> raw, std::vector<float> float_data,
                           std::vector<int64_t> int64_data) {
  if (data_type != 1 && data_type != 7) {
    return fail(name + " has element type " + std::to_string(data_type));
  }
  Shape shape(dims.begin(), dims.end());
  // A file's values are counted against the wrapped product of its dims; whether a
  // tensor of that shape may exist at all is the engine's bound, checked only after
  // the count so that ordinary files meet their failures in the usual order.
  uint64_t expected = 1;
  for (const uint64_t extent : shape) expected *= extent;

  const bool use_raw = raw && !raw->empty();
  const uint64_t width = data_type == 1 ? 4 : 8;
  const uint64_t count = use_raw          ? raw->size() / width
                         : data_type == 1 ? float_data.size()
                                          : int64_data.size();
  if (count != expected) {
    return fail(name + " has " + std::to_string(count) + " values for " + std::to_string(expected));
  }
  if (!checked_element_count(shape).ok()) return fail(name + " is too large");

  if (data_type == 1) {
    return Tensor::floats(std::move(shape),
                          use_raw ? copy_raw<float>(*raw, count) : std::move(float_data));
  }
  return Tensor::int64s(std::move(shape),
                        use_raw ? copy_raw<int64_t>(*raw, count) : std::move(int64_data));
}

Status<> decode_graph(ByteRange bytes, DecodedModel& model) {
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) return Ok{};
    if (!is_bytes(field->value)) continue;
    const ByteRange sub = field->value.bytes;
    switch (field->number) {
      case 1: {
        WD_TRY(Node node, decode_node(sub));
        model.nodes.push_back(std::move(node));
        break;
      }
      case 5: {
        WD_TRY(Initializer initializer, decode_tensor(sub));
        model.initializers.push_back(std::move(initializer));
        break;
      }
      case 11: {
        WD_TRY(std::string name, read_value_info_name(sub));
        model.input_names.push_back(std::move(name));
        break;
      }
      case 12: {
        WD_TRY(std::string name, read_value_info_name(sub));
        model.output_names.push_back(std::move(name));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

Result<Initializer> decode_tensor(ByteRange bytes) {
  std::string name;
  std::vector<int64_t> dims;
  uint64_t data_type = 0;
  std::vector<float> float_data;
  std::vector<int64_t> int64_data;
  std::optional<ByteRange> raw;
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) break;
    const WireValue& value = field->value;
    switch (field->number) {
      case 1: {
        WD_CHECK(append_int64s(value, dims));
        break;
      }
      case 2:
        if (value.kind == WireValue::Kind::Varint) data_type = value.varint;
        break;
      case 4: {
        WD_CHECK(append_floats(value, float_data));
        break;
      }
      case 7: {
        WD_CHECK(append_int64s(value, int64_data));
        break;
      }
      case 8: {
        WD_TRY(name, decode_text(value));
        break;
      }
      case 9:
        if (is_bytes(value)) raw = value.bytes;
        break;
      case 14:
        if (value.kind == WireValue::Kind::Varint && value.varint == 1) {
          return fail("weights stored outside the file");
        }
        break;
      default:
        break;
    }
  }
  WD_TRY(Tensor tensor, make_tensor(name, std::move(dims), data_type, raw, std::move(float_data),
                                    std::move(int64_data)));
  return Initializer{std::move(name), std::move(tensor)};
}

Result<DecodedModel> decode_model(ByteRange bytes) {
  DecodedModel model;
  std::optional<ByteRange> graph;
  WireReader reader(bytes);
  while (true) {
    WD_TRY(const std::optional<WireField> field, reader.next_field());
    if (!field) break;
    if (!is_bytes(field->value)) continue;
    if (field->number == 7) {
      graph = field->value.bytes;
    } else if (field->number == 14) {
      WD_TRY(auto entry, decode_metadata_entry(field->value.bytes));
      model.metadata.insert_or_assign(std::move(entry.first), std::move(entry.second));
    }
  }
  if (!graph || graph->empty()) return fail("not an ONNX model");
  WD_CHECK(decode_graph(*graph, model));
  return model;
}

}  // namespace wd
