#include "wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "tensor.h"

namespace wd {

// Packed floats are copied byte for byte into the list, which is only the wire's
// little-endian layout on a little-endian processor.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr const char* kEndsEarly = "the file ends early";
// A packed integer list takes eight bytes of memory for each byte of the file, so
// lists are held to the engine's bound on one buffer, checked before they grow.
constexpr const char* kTooLong = "a list that holds too many values";

template <typename T>
bool fits(const std::vector<T>& list, uint64_t more) {
  return more <= kMaxElements && list.size() <= kMaxElements - more;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF and no
// sequence cut short by the end of the text.
bool is_utf8(ByteRange text) {
  const uint64_t n = text.size();
  uint64_t i = 0;
  while (i < n) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    uint64_t continuations = 0;
    // The allowed range of the second byte rules out overlong forms, surrogates
    // and code points beyond U+10FFFF in one test.
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (continuations > n - i - 1) return false;
    if (text[i + 1] < low || text[i + 1] > high) return false;
    for (uint64_t k = 2; k <= continuations; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
    }
    i += continuations + 1;
  }
  return true;
}

}  // namespace

Result<uint64_t> WireReader::read_varint() {
  uint64_t result = 0;
  // Bytes 0 to 8 carry seven bits each; a tenth byte can only supply bit 63.
  for (unsigned k = 0; k < 9; ++k) {
    if (position_ >= end_) return fail(kEndsEarly);
    const uint8_t byte = data_[position_++];
    result |= uint64_t{byte & 0x7Fu} << (7 * k);
    if ((byte & 0x80) == 0) return result;
  }
  if (position_ >= end_) return fail(kEndsEarly);
  const uint8_t last = data_[position_++];
  if ((last & 0x80) != 0) return fail("a malformed number");
  return result | (uint64_t{last & 1u} << 63);
}

Result<ByteRange> WireReader::take_bytes(uint64_t n) {
  if (n > end_ - position_) return fail(kEndsEarly);
  const ByteRange range(data_ + position_, n);
  position_ += n;
  return range;
}

Result<std::optional<WireField>> WireReader::next_field() {
  if (position_ >= end_) return std::optional<WireField>{};
  WD_TRY(const uint64_t key, read_varint());
  WireField field;
  field.number = key >> 3;
  const uint64_t wire_type = key & 7;
  switch (wire_type) {
    case 0: {
      field.value.kind = WireValue::Kind::Varint;
      WD_TRY(field.value.varint, read_varint());
      break;
    }
    case 1:
      if (8 > end_ - position_) return fail(kEndsEarly);
      field.value.kind = WireValue::Kind::Fixed64;
      position_ += 8;
      break;
    case 2: {
      WD_TRY(const uint64_t length, read_varint());
      field.value.kind = WireValue::Kind::Bytes;
      WD_TRY(field.value.bytes, take_bytes(length));
      break;
    }
    case 5: {
      if (4 > end_ - position_) return fail(kEndsEarly);
      const uint8_t* p = data_ + position_;
      field.value.kind = WireValue::Kind::Fixed32;
      field.value.fixed32 =
          uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
      position_ += 4;
      break;
    }
    default:
      return fail("wire type " + std::to_string(wire_type));
  }
  return std::optional<WireField>(field);
}

Result<std::string> decode_text(const WireValue& value) {
  if (value.kind != WireValue::Kind::Bytes) return fail("a malformed string");
  if (!is_utf8(value.bytes)) return fail("text that is not UTF-8");
  return std::string(value.bytes.begin(), value.bytes.end());
}

Status<> append_int64s(const WireValue& value, std::vector<int64_t>& list) {
  switch (value.kind) {
    case WireValue::Kind::Varint:
      if (!fits(list, 1)) return fail(kTooLong);
      list.push_back(static_cast<int64_t>(value.varint));
      return Ok{};
    case WireValue::Kind::Bytes: {
      // Every varint ends in the one byte of it whose top bit is clear.
      const uint64_t count = static_cast<uint64_t>(std::count_if(
          value.bytes.begin(), value.bytes.end(), [](uint8_t byte) { return byte < 0x80; }));
      if (!fits(list, count)) return fail(kTooLong);
      WireReader packed(value.bytes);
      while (packed.position() < packed.end()) {
        WD_TRY(const uint64_t item, packed.read_varint());
        list.push_back(static_cast<int64_t>(item));
      }
      return Ok{};
    }
    case WireValue::Kind::Fixed32:
    case WireValue::Kind::Fixed64:
      break;
  }
  return fail("a malformed list of integers");
}

Status<> append_floats(const WireValue& value, std::vector<float>& list) {
  if (value.kind == WireValue::Kind::Fixed32) {
    if (!fits(list, 1)) return fail(kTooLong);
    list.push_back(std::bit_cast<float>(value.fixed32));
    return Ok{};
  }
  if (value.kind != WireValue::Kind::Bytes || value.bytes.size() % 4 != 0) {
    return fail("a malformed list of floats");
  }
  if (value.bytes.empty()) return Ok{};
  if (!fits(list, value.bytes.size() / 4)) return fail(kTooLong);
  const size_t old_size = list.size();
  list.resize(old_size + value.bytes.size() / 4);
  std::memcpy(list.data() + old_size, value.bytes.data(), value.bytes.size());
  return Ok{};
}

}  // namespace wd
