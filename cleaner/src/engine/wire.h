// A schema-less reader of the protobuf wire format over a borrowed byte range, and
// the value decoders the message decoders share (text, integer and float lists).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "result.h"

namespace wd {

using ByteRange = std::span<const uint8_t>;

// One field's payload. Only the member matching `kind` is meaningful; a Fixed64
// payload is skipped unread, so it carries nothing.
struct WireValue {
  enum class Kind { Varint, Fixed64, Bytes, Fixed32 };

  Kind kind = Kind::Varint;
  uint64_t varint = 0;
  uint32_t fixed32 = 0;
  ByteRange bytes;  // a sub-range of the reader's range, never a copy
};

struct WireField {
  uint64_t number = 0;  // the key shifted right by 3, not range-checked
  WireValue value;
};

// A cursor over a byte range that outlives it. A length-delimited field yields a
// sub-range of the same buffer; a nested message is read by a new reader over it.
// After a failure the position is unspecified and the reader must not be used.
class WireReader {
 public:
  explicit WireReader(ByteRange range) : data_(range.data()), end_(range.size()) {}

  // The next field, or nothing at the end of the range.
  Result<std::optional<WireField>> next_field();
  Result<uint64_t> read_varint();
  Result<ByteRange> take_bytes(uint64_t n);

  uint64_t position() const { return position_; }
  uint64_t end() const { return end_; }

 private:
  const uint8_t* data_;
  uint64_t end_;
  uint64_t position_ = 0;
};

// Strict UTF-8 text of a length-delimited field, copied out.
Result<std::string> decode_text(const WireValue& value);
// Repeated int64: one Varint, or a packed run of varints.
Status<> append_int64s(const WireValue& value, std::vector<int64_t>& list);
// Repeated float: one Fixed32, or a packed run of little-endian 4-byte groups.
Status<> append_floats(const WireValue& value, std::vector<float>& list);

}  // namespace wd
