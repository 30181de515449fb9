#include "wire.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "tensor.h"

namespace wd {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = WireValue::Kind;

// Reads every field of `bytes`; the failure message of the first failing step, or
// the fields when the range ends cleanly.
struct ReadAll {
  std::vector<WireField> fields;
  std::string failure;
};

ReadAll read_all(const Bytes& bytes) {
  ReadAll out;
  WireReader reader(bytes);
  while (true) {
    auto field = reader.next_field();
    if (!field.ok()) {
      out.failure = field.error().message;
      return out;
    }
    if (!*field) return out;
    out.fields.push_back(**field);
  }
}

WireValue bytes_value(ByteRange bytes) {
  WireValue value;
  value.kind = Kind::Bytes;
  value.bytes = bytes;
  return value;
}

WireValue varint_value(uint64_t v) {
  WireValue value;
  value.kind = Kind::Varint;
  value.varint = v;
  return value;
}

WireValue fixed32_value(uint32_t bits) {
  WireValue value;
  value.kind = Kind::Fixed32;
  value.fixed32 = bits;
  return value;
}

WireValue fixed64_value() {
  WireValue value;
  value.kind = Kind::Fixed64;
  return value;
}

TEST(WireReader, EmptyRangeEndsAtOnce) {
  WireReader reader(ByteRange{});
  auto field = reader.next_field();
  ASSERT_TRUE(field.ok());
  EXPECT_FALSE(field->has_value());
}

struct FieldCase {
  const char* what;
  Bytes bytes;
  uint64_t number;
  Kind kind;
  uint64_t varint;       // Varint payload
  uint32_t fixed32;      // Fixed32 payload
  Bytes payload;         // Bytes payload
};

TEST(WireReader, SingleFields) {
  const FieldCase cases[] = {
      {"varint 150", {0x08, 0x96, 0x01}, 1, Kind::Varint, 150, 0, {}},
      {"field number 0", {0x00, 0x05}, 0, Kind::Varint, 5, 0, {}},
      {"ten bytes, last 0x01", {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       1, Kind::Varint, uint64_t{1} << 63, 0, {}},
      {"ten bytes, last 0x7F drops bits 1 to 6",
       {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}, 1, Kind::Varint,
       uint64_t{1} << 63, 0, {}},
      {"all ones", {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1,
       Kind::Varint, ~uint64_t{0}, 0, {}},
      {"non-minimal zero", {0x08, 0x80, 0x80, 0x00}, 1, Kind::Varint, 0, 0, {}},
      {"fixed64 with 8 bytes", {0x11, 1, 2, 3, 4, 5, 6, 7, 8}, 2, Kind::Fixed64, 0, 0, {}},
      {"fixed32 little-endian", {0x1D, 0x01, 0x02, 0x03, 0x04}, 3, Kind::Fixed32, 0, 0x04030201,
       {}},
      {"bytes of exactly what is left", {0x22, 0x03, 'a', 'b', 'c'}, 4, Kind::Bytes, 0, 0,
       {'a', 'b', 'c'}},
      {"empty bytes", {0x22, 0x00}, 4, Kind::Bytes, 0, 0, {}},
      {"number beyond the protobuf limit", {0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x07},
       uint64_t{1} << 32, Kind::Varint, 7, 0, {}},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    WireReader reader(c.bytes);
    auto field = reader.next_field();
    ASSERT_TRUE(field.ok()) << field.error().message;
    ASSERT_TRUE(field->has_value());
    const WireField& f = **field;
    EXPECT_EQ(f.number, c.number);
    ASSERT_EQ(f.value.kind, c.kind);
    if (c.kind == Kind::Varint) {
      EXPECT_EQ(f.value.varint, c.varint);
    }
    if (c.kind == Kind::Fixed32) {
      EXPECT_EQ(f.value.fixed32, c.fixed32);
    }
    if (c.kind == Kind::Bytes) {
      EXPECT_EQ(Bytes(f.value.bytes.begin(), f.value.bytes.end()), c.payload);
      // A sub-range, not a copy.
      EXPECT_EQ(f.value.bytes.data(), c.bytes.data() + 2);
    }
    EXPECT_EQ(reader.position(), c.bytes.size());
    auto after = reader.next_field();
    ASSERT_TRUE(after.ok());
    EXPECT_FALSE(after->has_value());
  }
}

struct FailureCase {
  const char* what;
  Bytes bytes;
  const char* message;
};

TEST(WireReader, Failures) {
  const FailureCase cases[] = {
      {"key cut", {0x80}, "the file ends early"},
      {"varint value missing", {0x08}, "the file ends early"},
      {"varint cut after a continuation byte", {0x08, 0x96}, "the file ends early"},
      {"nine continuation bytes and no tenth",
       {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, "the file ends early"},
      {"tenth byte 0x81", {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81},
       "a malformed number"},
      {"tenth byte of the key 0x80",
       {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, "a malformed number"},
      {"length one more than what is left", {0x0A, 0x04, 'a', 'b', 'c'}, "the file ends early"},
      {"length missing", {0x0A}, "the file ends early"},
      {"length of 2^64 - 1",
       {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'},
       "the file ends early"},
      {"length of 2^63", {0x0A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 'a'},
       "the file ends early"},
      {"fixed64 with 7 bytes", {0x09, 1, 2, 3, 4, 5, 6, 7}, "the file ends early"},
      {"fixed32 with 3 bytes", {0x0D, 1, 2, 3}, "the file ends early"},
      {"wire type 3", {0x0B}, "wire type 3"},
      {"wire type 4", {0x0C}, "wire type 4"},
      {"wire type 6", {0x0E, 0x00}, "wire type 6"},
      {"wire type 7", {0x0F}, "wire type 7"},
      {"fault after a good field", {0x08, 0x01, 0x0B}, "wire type 3"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read_all(c.bytes).failure, c.message);
  }
}

TEST(WireReader, WalksSeveralFieldsInOrder) {
  const Bytes bytes = {0x08, 0x96, 0x01, 0x12, 0x02, 0xC3, 0xA9, 0x19, 0, 0, 0, 0,
                       0,    0,    0,    0,    0x25, 0,    0,    0x80, 0x3F};
  const ReadAll all = read_all(bytes);
  ASSERT_EQ(all.failure, "");
  ASSERT_EQ(all.fields.size(), 4u);
  EXPECT_EQ(all.fields[0].number, 1u);
  EXPECT_EQ(all.fields[0].value.varint, 150u);
  EXPECT_EQ(all.fields[1].number, 2u);
  EXPECT_EQ(all.fields[1].value.bytes.size(), 2u);
  EXPECT_EQ(all.fields[2].number, 3u);
  EXPECT_EQ(all.fields[2].value.kind, Kind::Fixed64);
  EXPECT_EQ(all.fields[3].number, 4u);
  EXPECT_EQ(std::bit_cast<float>(all.fields[3].value.fixed32), 1.0f);
}

TEST(WireReader, NestedMessageEndsAtItsEnclosingField) {
  // Field 1 holds two bytes: a nested key 0x0A and a length of 5. The five bytes
  // exist in the outer buffer, but not inside the nested message.
  const Bytes bytes = {0x0A, 0x02, 0x0A, 0x05, 1, 2, 3, 4, 5};
  WireReader outer(bytes);
  auto field = outer.next_field();
  ASSERT_TRUE(field.ok());
  ASSERT_TRUE(field->has_value());
  WireReader inner((**field).value.bytes);
  auto nested = inner.next_field();
  ASSERT_FALSE(nested.ok());
  EXPECT_EQ(nested.error().message, "the file ends early");
}

TEST(WireReader, TakeBytesAndReadVarintDirectly) {
  const Bytes bytes = {0xAC, 0x02, 'x', 'y', 'z'};
  WireReader reader(bytes);
  auto number = reader.read_varint();
  ASSERT_TRUE(number.ok());
  EXPECT_EQ(*number, 300u);
  EXPECT_EQ(reader.position(), 2u);
  EXPECT_FALSE(reader.take_bytes(4).ok());

  WireReader again(bytes);
  ASSERT_TRUE(again.read_varint().ok());
  auto taken = again.take_bytes(3);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(taken->data(), bytes.data() + 2);
  EXPECT_EQ(taken->size(), 3u);
  EXPECT_EQ(again.position(), again.end());
  auto none = again.take_bytes(0);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  auto past = again.read_varint();
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().message, "the file ends early");
}

struct TextCase {
  const char* what;
  Bytes bytes;
  bool valid;
};

TEST(DecodeText, Utf8IsStrict) {
  const TextCase cases[] = {
      {"empty", {}, true},
      {"ascii", {'G', 'R', 'U'}, true},
      {"nul is a character", {'a', 0x00, 'b'}, true},
      {"two-byte e acute", {0xC3, 0xA9}, true},
      {"three-byte euro", {0xE2, 0x82, 0xAC}, true},
      {"four-byte emoji", {0xF0, 0x9F, 0x98, 0x80}, true},
      {"last before surrogates", {0xED, 0x9F, 0xBF}, true},
      {"first after surrogates", {0xEE, 0x80, 0x80}, true},
      {"U+FFFF", {0xEF, 0xBF, 0xBF}, true},
      {"U+10FFFF", {0xF4, 0x8F, 0xBF, 0xBF}, true},
      {"C3 28", {0xC3, 0x28}, false},
      {"lone continuation", {0x80}, false},
      {"overlong slash, two bytes", {0xC0, 0xAF}, false},
      {"overlong via C1", {0xC1, 0xBF}, false},
      {"overlong, three bytes", {0xE0, 0x80, 0xAF}, false},
      {"overlong, four bytes", {0xF0, 0x80, 0x80, 0xAF}, false},
      {"high surrogate", {0xED, 0xA0, 0x80}, false},
      {"low surrogate", {0xED, 0xBF, 0xBF}, false},
      {"beyond U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false},
      {"lead F5", {0xF5, 0x80, 0x80, 0x80}, false},
      {"lead FF", {0xFF}, false},
      {"truncated three-byte", {0xE2, 0x82}, false},
      {"truncated four-byte", {'a', 0xF0, 0x9F, 0x98}, false},
      {"bad third byte", {0xE2, 0x82, 0x41}, false},
      {"bad fourth byte", {0xF0, 0x9F, 0x98, 0xC0}, false},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto text = decode_text(bytes_value(c.bytes));
    if (c.valid) {
      ASSERT_TRUE(text.ok()) << text.error().message;
      EXPECT_EQ(*text, std::string(c.bytes.begin(), c.bytes.end()));
    } else {
      ASSERT_FALSE(text.ok());
      EXPECT_EQ(text.error().message, "text that is not UTF-8");
    }
  }
}

TEST(DecodeText, OnlyLengthDelimitedValues) {
  for (const WireValue& value : {varint_value(65), fixed32_value(65), fixed64_value()}) {
    auto text = decode_text(value);
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().message, "a malformed string");
  }
}

// Feeds every field of `message` to append_int64s.
Result<std::vector<int64_t>> int64s_of(const Bytes& message) {
  std::vector<int64_t> list;
  WireReader reader(message);
  while (true) {
    WD_TRY(auto field, reader.next_field());
    if (!field) return list;
    WD_CHECK(append_int64s(field->value, list));
  }
}

TEST(AppendInt64s, SameListInEveryForm) {
  const std::vector<int64_t> expected = {1, 150, -1};
  const Bytes forms[] = {
      // three Varint fields
      {0x08, 0x01, 0x08, 0x96, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
       0x01},
      // one packed field
      {0x0A, 0x0D, 0x01, 0x96, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
      // packed, then a Varint
      {0x0A, 0x03, 0x01, 0x96, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
       0x01},
      // Varint, empty packed, packed
      {0x08, 0x01, 0x0A, 0x00, 0x0A, 0x0C, 0x96, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
       0xFF, 0xFF, 0x01},
  };
  for (const Bytes& form : forms) {
    auto list = int64s_of(form);
    ASSERT_TRUE(list.ok()) << list.error().message;
    EXPECT_EQ(*list, expected);
  }
}

TEST(AppendInt64s, Failures) {
  const FailureCase cases[] = {
      {"packed varint cut by its sub-range", {0x0A, 0x02, 0x01, 0x96, 0x01},
       "the file ends early"},
      {"packed varint with a bad tenth byte",
       {0x0A, 0x0A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
       "a malformed number"},
      {"fixed32", {0x0D, 1, 0, 0, 0}, "a malformed list of integers"},
      {"fixed64", {0x09, 1, 0, 0, 0, 0, 0, 0, 0}, "a malformed list of integers"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto list = int64s_of(c.bytes);
    ASSERT_FALSE(list.ok());
    EXPECT_EQ(list.error().message, c.message);
  }
}

TEST(AppendInt64s, AppendsToWhatIsThere) {
  std::vector<int64_t> list = {7};
  const Bytes packed = {0x02, 0x7F};
  ASSERT_TRUE(append_int64s(bytes_value(packed), list).ok());
  ASSERT_TRUE(append_int64s(bytes_value({}), list).ok());
  EXPECT_EQ(list, (std::vector<int64_t>{7, 2, 127}));
}

uint32_t bits_of(float f) { return std::bit_cast<uint32_t>(f); }

TEST(AppendFloats, FixedAndPackedForms) {
  std::vector<float> list;
  // A NaN with a payload keeps its exact bit pattern.
  ASSERT_TRUE(append_floats(fixed32_value(0x7FC00001), list).ok());
  // 1.0 and -2.5, little-endian.
  const Bytes packed = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0};
  ASSERT_TRUE(append_floats(bytes_value(packed), list).ok());
  ASSERT_TRUE(append_floats(bytes_value({}), list).ok());
  ASSERT_TRUE(append_floats(fixed32_value(0x80000000), list).ok());
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(bits_of(list[0]), 0x7FC00001u);
  EXPECT_EQ(list[1], 1.0f);
  EXPECT_EQ(list[2], -2.5f);
  EXPECT_EQ(bits_of(list[3]), 0x80000000u);
}

TEST(AppendFloats, Failures) {
  const Bytes six = {0, 0, 0x80, 0x3F, 0, 0};
  const Bytes three = {0, 0, 0x80};
  for (const WireValue& value :
       {bytes_value(six), bytes_value(three), varint_value(1), fixed64_value()}) {
    std::vector<float> list = {3.0f};
    auto status = append_floats(value, list);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message, "a malformed list of floats");
  }
}

// Zero bytes in pages the kernel maps only when read, and then all to one shared
// page: a packed list far beyond the engine's bound costs the test no memory.
class ZeroPages {
 public:
  explicit ZeroPages(uint64_t size)
      : size_(size),
        data_(mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
  ~ZeroPages() {
    if (data_ != MAP_FAILED) munmap(data_, size_);
  }
  ZeroPages(const ZeroPages&) = delete;
  ZeroPages& operator=(const ZeroPages&) = delete;

  bool ok() const { return data_ != MAP_FAILED; }
  WireValue value() const {
    return bytes_value(ByteRange(static_cast<const uint8_t*>(data_), size_));
  }

 private:
  uint64_t size_;
  void* data_;
};

// Each zero byte is a whole varint, so kMaxElements + 1 bytes hold one integer too
// many; four zero bytes are one float.
TEST(PackedLists, BeyondTheElementBoundAreRefusedBeforeTheyGrow) {
  const ZeroPages integers(kMaxElements + 1);
  ASSERT_TRUE(integers.ok());
  std::vector<int64_t> int_list;
  auto too_many = append_int64s(integers.value(), int_list);
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().message, "a list that holds too many values");
  EXPECT_TRUE(int_list.empty());

  // What the list already holds counts.
  const ZeroPages exactly(kMaxElements);
  ASSERT_TRUE(exactly.ok());
  std::vector<int64_t> one_held = {5};
  auto with_one = append_int64s(exactly.value(), one_held);
  ASSERT_FALSE(with_one.ok());
  EXPECT_EQ(with_one.error().message, "a list that holds too many values");
  EXPECT_EQ(one_held, std::vector<int64_t>{5});

  const ZeroPages floats(4 * (kMaxElements + 1));
  ASSERT_TRUE(floats.ok());
  std::vector<float> float_list;
  auto too_many_floats = append_floats(floats.value(), float_list);
  ASSERT_FALSE(too_many_floats.ok());
  EXPECT_EQ(too_many_floats.error().message, "a list that holds too many values");
  EXPECT_TRUE(float_list.empty());

  const ZeroPages float_bound(4 * kMaxElements);
  ASSERT_TRUE(float_bound.ok());
  std::vector<float> one_float = {1.0f};
  auto with_one_float = append_floats(float_bound.value(), one_float);
  ASSERT_FALSE(with_one_float.ok());
  EXPECT_EQ(with_one_float.error().message, "a list that holds too many values");
}

}  // namespace
}  // namespace wd
