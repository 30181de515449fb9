// Values and the standard codec. Expected bytes are written out by hand from the wire format:
// tag, size (one byte below 254, else 254 + uint16 or 255 + uint32), little-endian numbers,
// and zero padding that aligns 8-byte data to 8 and 4-byte list data to 4 from the start of
// the message.
#include <flutter_linux/standin_testing.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes to_vector(GBytes* bytes) {
  gsize size = 0;
  const auto* data = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  return Bytes(data, data + size);
}

GBytes* to_gbytes(const Bytes& bytes) { return g_bytes_new(bytes.data(), bytes.size()); }

FlMessageCodec* codec() {
  static FlMessageCodec* c = FL_MESSAGE_CODEC(fl_standard_message_codec_new());
  return c;
}

Bytes encode(FlValue* value) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes = fl_message_codec_encode_message(codec(), value, &error);
  EXPECT_NE(bytes, nullptr);
  return bytes != nullptr ? to_vector(bytes) : Bytes();
}

FlValue* decode(const Bytes& bytes, GError** error) {
  g_autoptr(GBytes) data = to_gbytes(bytes);
  return fl_message_codec_decode_message(codec(), data, error);
}

FlValue* list_of(std::initializer_list<FlValue*> items) {
  FlValue* list = fl_value_new_list();
  for (FlValue* item : items) fl_value_append_take(list, item);
  return list;
}

struct EncodingCase {
  const char* name;
  std::function<FlValue*()> make;
  Bytes expected;
};

std::vector<EncodingCase> encoding_cases() {
  const double one = 1.0;
  const int32_t i32[] = {1, -2};
  const int64_t i64[] = {1};
  const float f32[] = {1.0f};
  const uint8_t u8[] = {1, 2, 3};
  return {
      {"null", [] { return fl_value_new_null(); }, hex("00")},
      {"true", [] { return fl_value_new_bool(true); }, hex("01")},
      {"false", [] { return fl_value_new_bool(false); }, hex("02")},
      {"small int", [] { return fl_value_new_int(1); }, hex("03 01000000")},
      {"negative int", [] { return fl_value_new_int(-1); }, hex("03 ffffffff")},
      {"int32 max", [] { return fl_value_new_int(INT32_MAX); }, hex("03 ffffff7f")},
      {"int32 min", [] { return fl_value_new_int(INT32_MIN); }, hex("03 00000080")},
      {"just above int32", [] { return fl_value_new_int(int64_t{INT32_MAX} + 1); },
       hex("04 00000080 00000000")},
      {"just below int32", [] { return fl_value_new_int(int64_t{INT32_MIN} - 1); },
       hex("04 ffffff7f ffffffff")},
      {"float aligned to 8", [] { return fl_value_new_float(1.0); },
       hex("06 00000000000000 000000000000f03f")},
      {"negative zero", [] { return fl_value_new_float(-0.0); },
       hex("06 00000000000000 0000000000000080")},
      {"string", [] { return fl_value_new_string("hello"); }, hex("07 05 68656c6c6f")},
      {"empty string", [] { return fl_value_new_string(""); }, hex("07 00")},
      {"utf-8 string", [] { return fl_value_new_string("\xc3\xa9"); }, hex("07 02 c3a9")},
      {"uint8 list", [u8] { return fl_value_new_uint8_list(u8, 3); }, hex("08 03 010203")},
      {"int32 list aligned to 4", [i32] { return fl_value_new_int32_list(i32, 2); },
       hex("09 02 0000 01000000 feffffff")},
      {"int64 list aligned to 8", [i64] { return fl_value_new_int64_list(i64, 1); },
       hex("0a 01 000000000000 0100000000000000")},
      {"empty int64 list still aligned", [] { return fl_value_new_int64_list(nullptr, 0); },
       hex("0a 00 000000000000")},
      {"float64 list aligned to 8", [one] { return fl_value_new_float_list(&one, 1); },
       hex("0b 01 000000000000 000000000000f03f")},
      {"float32 list aligned to 4", [f32] { return fl_value_new_float32_list(f32, 1); },
       hex("0e 01 0000 0000803f")},
      {"list", [] { return list_of({fl_value_new_int(1), fl_value_new_string("a")}); },
       hex("0c 02 03 01000000 07 01 61")},
      {"float inside a list aligned from the message start",
       [] { return list_of({fl_value_new_bool(true), fl_value_new_float(1.0)}); },
       hex("0c 02 01 06 00000000 000000000000f03f")},
      {"int64 inside a list is not aligned",
       [] { return list_of({fl_value_new_int(INT64_MAX)}); }, hex("0c 01 04 ffffffffffffff7f")},
      {"map in insertion order",
       [] {
         FlValue* map = fl_value_new_map();
         fl_value_set_string_take(map, "b", fl_value_new_int(1));
         fl_value_set_take(map, fl_value_new_int(2), fl_value_new_null());
         return map;
       },
       hex("0d 02 07 01 62 03 01000000 03 02000000 00")},
  };
}

TEST(PlatformCodec, EncodesEveryTypeExactly) {
  for (const EncodingCase& c : encoding_cases()) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) value = c.make();
    EXPECT_EQ(encode(value), c.expected);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = decode(c.expected, &error);
    ASSERT_NE(decoded, nullptr) << error->message;
    EXPECT_TRUE(fl_value_equal(decoded, value));
  }
}

TEST(PlatformCodec, SizesUseOneThreeOrFiveBytes) {
  struct SizeCase {
    size_t length;
    Bytes prefix;
  };
  const SizeCase cases[] = {
      {253, hex("07 fd")},
      {254, hex("07 fe fe00")},
      {65535, hex("07 fe ffff")},
      {65536, hex("07 ff 00000100")},
      {70000, hex("07 ff 70110100")},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.length);
    std::string text(c.length, 'x');
    g_autoptr(FlValue) value = fl_value_new_string(text.c_str());
    Bytes expected = concat({c.prefix, Bytes(c.length, 'x')});
    EXPECT_EQ(encode(value), expected);
    g_autoptr(FlValue) decoded = decode(expected, nullptr);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(fl_value_get_string(decoded)), text);
  }
}

TEST(PlatformCodec, LongListsCountTheirItemsWithTheLongSizeForms) {
  g_autoptr(FlValue) list = fl_value_new_list();
  for (int i = 0; i < 300; ++i) fl_value_append_take(list, fl_value_new_null());
  Bytes expected = concat({hex("0c fe 2c01"), Bytes(300, 0)});
  EXPECT_EQ(encode(list), expected);
}

TEST(PlatformCodec, RoundTripsNestedValues) {
  g_autoptr(FlValue) root = fl_value_new_map();
  const double doubles[] = {0.5, -1e300, std::numeric_limits<double>::infinity()};
  const int32_t ints[] = {INT32_MIN, 0, INT32_MAX};
  const int64_t longs[] = {INT64_MIN, INT64_MAX};
  const float floats[] = {1.5f, -0.25f};
  fl_value_set_string_take(root, "doubles", fl_value_new_float_list(doubles, 3));
  fl_value_set_string_take(root, "ints", fl_value_new_int32_list(ints, 3));
  fl_value_set_string_take(root, "longs", fl_value_new_int64_list(longs, 2));
  fl_value_set_string_take(root, "floats", fl_value_new_float32_list(floats, 2));
  fl_value_set_string_take(root, "bytes", fl_value_new_uint8_list(nullptr, 0));
  FlValue* inner = list_of({fl_value_new_string("x"), fl_value_new_int(INT64_MIN),
                            fl_value_new_float(-2.75), fl_value_new_map()});
  fl_value_set_string_take(root, "inner", list_of({inner, fl_value_new_bool(false)}));

  Bytes bytes = encode(root);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) decoded = decode(bytes, &error);
  ASSERT_NE(decoded, nullptr) << error->message;
  EXPECT_TRUE(fl_value_equal(decoded, root));
  EXPECT_EQ(encode(decoded), bytes);
  // Keys keep their insertion order through the round trip.
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(decoded, 0)), "doubles");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(decoded, 5)), "inner");
}

TEST(PlatformCodec, RefusesMalformedInput) {
  struct BadCase {
    const char* name;
    Bytes bytes;
    int code;
  };
  const BadCase cases[] = {
      {"empty", {}, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"truncated int32", hex("03 0100"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"truncated int64", hex("04 01000000"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"float without padding", hex("06 000000"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"short string", hex("07 05 61"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"truncated long size", hex("07 fe 01"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"huge size", hex("07 ff ffffffff 61"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"huge int64 list", hex("0a ff ffffff0f 00 0000000000000000"),
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"int32 list data cut", hex("09 02 0000 01000000"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"list longer than the data", hex("0c 05 00"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"map without its last value", hex("0d 01 07 01 61"), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"tag 5", hex("05"), FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"tag 15", hex("0f"), FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"tag 255 in a list", hex("0c 01 ff"), FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"trailing byte", hex("00 00"), FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = decode(c.bytes, &error);
    EXPECT_EQ(value, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, c.code)) << error->message;
  }
}

TEST(PlatformCodec, RefusesNestingBeyondTheLimitWithoutExhaustingTheStack) {
  Bytes deep;
  for (int i = 0; i < 200000; ++i) {
    deep.push_back(0x0c);
    deep.push_back(0x01);
  }
  deep.push_back(0x00);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = decode(deep, &error);
  EXPECT_EQ(value, nullptr);
  EXPECT_NE(error, nullptr);
}

TEST(PlatformCodec, EveryPrefixOfAValidMessageIsRefused) {
  for (const EncodingCase& c : encoding_cases()) {
    SCOPED_TRACE(c.name);
    for (size_t n = 0; n < c.expected.size(); ++n) {
      g_autoptr(FlValue) value = decode(Bytes(c.expected.begin(), c.expected.begin() + n), nullptr);
      EXPECT_EQ(value, nullptr) << "prefix of " << n << " bytes";
    }
  }
}

TEST(PlatformCodec, ArbitraryBytesNeverCrashTheDecoder) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> small_tag(0, 16);
  for (int i = 0; i < 20000; ++i) {
    Bytes bytes(length(random));
    // Mostly valid tags and small sizes, so that decoding gets past the first byte.
    for (size_t j = 0; j < bytes.size(); ++j) {
      bytes[j] = static_cast<uint8_t>(j % 2 == 0 ? small_tag(random) : byte(random) % 8);
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = decode(bytes, &error);
    EXPECT_TRUE((value == nullptr) != (error == nullptr));
    if (value == nullptr) continue;
    // Whatever decodes encodes again into bytes that decode to the same encoding (NaN
    // payloads and strings with NUL bytes make value equality the wrong yardstick).
    Bytes encoded = encode(value);
    g_autoptr(FlValue) again = decode(encoded, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(encode(again), encoded);
  }
}

TEST(PlatformMethodCodec, EncodesCallsAndEnvelopes) {
  g_autoptr(FlValue) args = fl_value_new_float(2.5);
  g_autoptr(GBytes) call = standin_encode_method_call("m", args);
  // The float's padding counts from the start of the whole call.
  EXPECT_EQ(to_vector(call), hex("07 01 6d 06 00000000 0000000000000440"));
  g_autoptr(GBytes) no_args = standin_encode_method_call("quit", nullptr);
  EXPECT_EQ(to_vector(no_args), hex("07 04 71756974 00"));

  g_autoptr(GBytes) success = standin_encode_success_envelope(nullptr);
  EXPECT_EQ(to_vector(success), hex("00 00"));
  g_autoptr(FlValue) yes = fl_value_new_bool(true);
  g_autoptr(GBytes) success_true = standin_encode_success_envelope(yes);
  EXPECT_EQ(to_vector(success_true), hex("00 01"));
  g_autoptr(GBytes) error = standin_encode_error_envelope("bad", "no", nullptr);
  EXPECT_EQ(to_vector(error), hex("01 07 03 626164 07 02 6e6f 00"));
  g_autoptr(GBytes) error_without_message = standin_encode_error_envelope("x", nullptr, nullptr);
  EXPECT_EQ(to_vector(error_without_message), hex("01 07 01 78 00 00"));
}

TEST(PlatformMethodCodec, DecodesCalls) {
  g_autoptr(GBytes) call = to_gbytes(hex("07 03 616263 0c 01 07 01 7a"));
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  ASSERT_TRUE(standin_decode_method_call(call, &name, &args, nullptr));
  EXPECT_STREQ(name, "abc");
  ASSERT_EQ(fl_value_get_type(args), FL_VALUE_TYPE_LIST);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(args, 0)), "z");

  const Bytes bad_calls[] = {hex(""), hex("03 01000000 00"), hex("07 01 61"),
                             hex("07 01 61 00 00")};
  for (const Bytes& bad : bad_calls) {
    g_autoptr(GBytes) bytes = to_gbytes(bad);
    g_autofree gchar* bad_name = nullptr;
    g_autoptr(FlValue) bad_args = nullptr;
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(standin_decode_method_call(bytes, &bad_name, &bad_args, &error));
    EXPECT_NE(error, nullptr);
  }
}

TEST(PlatformMethodCodec, DecodesTheThreeReplyKinds) {
  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  g_autoptr(FlMethodResponse) not_implemented = standin_decode_response(empty, nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(not_implemented));

  g_autoptr(GBytes) success = to_gbytes(hex("00 07 02 4445"));
  g_autoptr(FlMethodResponse) ok = standin_decode_response(success, nullptr);
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(ok));
  EXPECT_STREQ(fl_value_get_string(fl_method_response_get_result(ok, nullptr)), "DE");

  g_autoptr(GBytes) failure = to_gbytes(hex("01 07 03 626164 00 03 07000000"));
  g_autoptr(FlMethodResponse) error = standin_decode_response(failure, nullptr);
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(error));
  FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(error);
  EXPECT_STREQ(fl_method_error_response_get_code(e), "bad");
  EXPECT_EQ(fl_method_error_response_get_message(e), nullptr);
  EXPECT_EQ(fl_value_get_int(fl_method_error_response_get_details(e)), 7);
  g_autoptr(GError) result_error = nullptr;
  EXPECT_EQ(fl_method_response_get_result(error, &result_error), nullptr);
  EXPECT_TRUE(g_error_matches(result_error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR));

  const Bytes bad_replies[] = {hex("00"), hex("02 00"), hex("01 03 01000000 00 00"),
                               hex("01 07 01 61 03 01000000 00"), hex("01 07 01 61 00"),
                               hex("00 00 00")};
  for (const Bytes& bad : bad_replies) {
    g_autoptr(GBytes) bytes = to_gbytes(bad);
    g_autoptr(GError) decode_error = nullptr;
    g_autoptr(FlMethodResponse) response = standin_decode_response(bytes, &decode_error);
    EXPECT_EQ(response, nullptr);
    EXPECT_NE(decode_error, nullptr);
  }
}

TEST(PlatformValue, MapsKeepInsertionOrderAndReplaceEqualKeys) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "width", fl_value_new_float(800.0));
  fl_value_set_string_take(map, "height", fl_value_new_float(600.0));
  fl_value_set_string_take(map, "width", fl_value_new_float(1.5));
  ASSERT_EQ(fl_value_get_length(map), 2u);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 0)), "width");
  EXPECT_EQ(fl_value_get_float(fl_value_get_map_value(map, 0)), 1.5);
  EXPECT_EQ(fl_value_get_float(fl_value_lookup_string(map, "height")), 600.0);
  EXPECT_EQ(fl_value_lookup_string(map, "depth"), nullptr);
  g_autoptr(FlValue) key = fl_value_new_string("height");
  EXPECT_EQ(fl_value_lookup(map, key), fl_value_get_map_value(map, 1));
}

TEST(PlatformValue, EqualityIsByTypeAndContent) {
  g_autoptr(FlValue) a = fl_value_new_map();
  fl_value_set_string_take(a, "x", fl_value_new_int(1));
  fl_value_set_string_take(a, "y", fl_value_new_int(2));
  g_autoptr(FlValue) b = fl_value_new_map();
  fl_value_set_string_take(b, "y", fl_value_new_int(2));
  fl_value_set_string_take(b, "x", fl_value_new_int(1));
  EXPECT_TRUE(fl_value_equal(a, b));
  fl_value_set_string_take(b, "x", fl_value_new_float(1.0));
  EXPECT_FALSE(fl_value_equal(a, b));
  g_autoptr(FlValue) one = fl_value_new_int(1);
  g_autoptr(FlValue) one_float = fl_value_new_float(1.0);
  EXPECT_FALSE(fl_value_equal(one, one_float));
}

TEST(PlatformValue, ReferencesKeepSharedChildrenAlive) {
  FlValue* child = fl_value_new_string("shared");
  g_autoptr(FlValue) first = fl_value_new_list();
  g_autoptr(FlValue) second = fl_value_new_list();
  fl_value_append(first, child);
  fl_value_append_take(second, child);
  g_clear_pointer(&first, fl_value_unref);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(second, 0)), "shared");
}

TEST(PlatformValue, TextFormShowsTheStructure) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "a", list_of({fl_value_new_int(1), fl_value_new_float(2.0),
                                              fl_value_new_null(), fl_value_new_bool(true)}));
  g_autofree gchar* text = fl_value_to_string(map);
  EXPECT_STREQ(text, "{a: [1, 2.0, null, true]}");
}

TEST(PlatformValue, SizedStringsAndStringListsCopyTheirInput) {
  g_autoptr(FlValue) sized = fl_value_new_string_sized("abcdef", 3);
  EXPECT_STREQ(fl_value_get_string(sized), "abc");
  const gchar* strings[] = {"--new-note", "file:///tmp/a", nullptr};
  g_autoptr(FlValue) list = fl_value_new_list_from_strv(strings);
  ASSERT_EQ(fl_value_get_length(list), 2u);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(list, 1)), "file:///tmp/a");
  const uint8_t data[] = {9, 8};
  g_autoptr(GBytes) bytes = g_bytes_new(data, 2);
  g_autoptr(FlValue) from_bytes = fl_value_new_uint8_list_from_bytes(bytes);
  ASSERT_EQ(fl_value_get_length(from_bytes), 2u);
  EXPECT_EQ(fl_value_get_uint8_list(from_bytes)[1], 8);
}

}  // namespace
