#include <cstring>
#include <limits>
#include <vector>

#include "internal.h"

namespace {

// Tags of the standard message codec.
enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

// Malformed input may nest lists without end; decoding stops well before the stack does.
constexpr int kMaxDepth = 512;

class Writer {
 public:
  void byte(uint8_t b) { out_.push_back(b); }

  template <typename T>
  void number(T v) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    out_.insert(out_.end(), raw, raw + sizeof(T));
  }

  void size(size_t n) {
    if (n < 254) {
      byte(static_cast<uint8_t>(n));
    } else if (n <= 0xffff) {
      byte(254);
      number(static_cast<uint16_t>(n));
    } else {
      byte(255);
      number(static_cast<uint32_t>(n));
    }
  }

  void align(size_t alignment) {
    while (out_.size() % alignment != 0) out_.push_back(0);
  }

  void raw(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + length);
  }

  template <typename T>
  void array(const T* data, size_t n) {
    size(n);
    align(sizeof(T) == 1 ? 1 : sizeof(T));
    raw(data, n * sizeof(T));
  }

  void value(FlValue* v) {
    switch (fl_value_get_type(v)) {
      case FL_VALUE_TYPE_NULL:
        byte(kNull);
        break;
      case FL_VALUE_TYPE_BOOL:
        byte(fl_value_get_bool(v) ? kTrue : kFalse);
        break;
      case FL_VALUE_TYPE_INT: {
        int64_t i = fl_value_get_int(v);
        if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max()) {
          byte(kInt32);
          number(static_cast<int32_t>(i));
        } else {
          byte(kInt64);
          number(i);
        }
        break;
      }
      case FL_VALUE_TYPE_FLOAT:
        byte(kFloat64);
        align(8);
        number(fl_value_get_float(v));
        break;
      case FL_VALUE_TYPE_STRING: {
        const gchar* s = fl_value_get_string(v);
        byte(kString);
        size(std::strlen(s));
        raw(s, std::strlen(s));
        break;
      }
      case FL_VALUE_TYPE_UINT8_LIST:
        byte(kUint8List);
        array(fl_value_get_uint8_list(v), fl_value_get_length(v));
        break;
      case FL_VALUE_TYPE_INT32_LIST:
        byte(kInt32List);
        array(fl_value_get_int32_list(v), fl_value_get_length(v));
        break;
      case FL_VALUE_TYPE_INT64_LIST:
        byte(kInt64List);
        array(fl_value_get_int64_list(v), fl_value_get_length(v));
        break;
      case FL_VALUE_TYPE_FLOAT_LIST:
        byte(kFloat64List);
        array(fl_value_get_float_list(v), fl_value_get_length(v));
        break;
      case FL_VALUE_TYPE_FLOAT32_LIST:
        byte(kFloat32List);
        array(fl_value_get_float32_list(v), fl_value_get_length(v));
        break;
      case FL_VALUE_TYPE_LIST:
        byte(kList);
        size(fl_value_get_length(v));
        for (size_t i = 0; i < fl_value_get_length(v); ++i) value(fl_value_get_list_value(v, i));
        break;
      case FL_VALUE_TYPE_MAP:
        byte(kMap);
        size(fl_value_get_length(v));
        for (size_t i = 0; i < fl_value_get_length(v); ++i) {
          value(fl_value_get_map_key(v, i));
          value(fl_value_get_map_value(v, i));
        }
        break;
    }
  }

  GBytes* take_bytes() { return g_bytes_new(out_.data(), out_.size()); }

 private:
  std::vector<uint8_t> out_;
};

class Reader {
 public:
  explicit Reader(GBytes* bytes) {
    gsize length = 0;
    data_ = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &length));
    size_ = length;
  }

  bool at_end() const { return offset_ == size_; }
  size_t remaining() const { return size_ - offset_; }

  bool byte(uint8_t* b, GError** error) {
    if (!need(1, error)) return false;
    *b = data_[offset_++];
    return true;
  }

  template <typename T>
  bool number(T* v, GError** error) {
    if (!need(sizeof(T), error)) return false;
    std::memcpy(v, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return true;
  }

  bool size(size_t* n, GError** error) {
    uint8_t first = 0;
    if (!byte(&first, error)) return false;
    if (first < 254) {
      *n = first;
    } else if (first == 254) {
      uint16_t v = 0;
      if (!number(&v, error)) return false;
      *n = v;
    } else {
      uint32_t v = 0;
      if (!number(&v, error)) return false;
      *n = v;
    }
    return true;
  }

  bool align(size_t alignment, GError** error) {
    size_t padding = (alignment - offset_ % alignment) % alignment;
    if (!need(padding, error)) return false;
    offset_ += padding;
    return true;
  }

  // The size and element data of a numeric list; null data for an empty one.
  template <typename T>
  bool array(std::vector<T>* out, GError** error) {
    size_t n = 0;
    if (!size(&n, error)) return false;
    if (sizeof(T) > 1 && !align(sizeof(T), error)) return false;
    if (n > remaining() / sizeof(T)) return out_of_data(error);
    out->resize(n);
    if (n > 0) std::memcpy(out->data(), data_ + offset_, n * sizeof(T));
    offset_ += n * sizeof(T);
    return true;
  }

  FlValue* value(GError** error, int depth = 0) {
    if (depth > kMaxDepth) {
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                  "Values nested deeper than %d levels", kMaxDepth);
      return nullptr;
    }
    uint8_t tag = 0;
    if (!byte(&tag, error)) return nullptr;
    switch (tag) {
      case kNull:
        return fl_value_new_null();
      case kTrue:
        return fl_value_new_bool(true);
      case kFalse:
        return fl_value_new_bool(false);
      case kInt32: {
        int32_t v = 0;
        return number(&v, error) ? fl_value_new_int(v) : nullptr;
      }
      case kInt64: {
        int64_t v = 0;
        return number(&v, error) ? fl_value_new_int(v) : nullptr;
      }
      case kFloat64: {
        double v = 0;
        return align(8, error) && number(&v, error) ? fl_value_new_float(v) : nullptr;
      }
      case kString: {
        size_t n = 0;
        if (!size(&n, error)) return nullptr;
        if (n > remaining()) return out_of_data_value(error);
        FlValue* v = fl_value_new_string_sized(reinterpret_cast<const gchar*>(data_ + offset_), n);
        offset_ += n;
        return v;
      }
      case kUint8List: {
        std::vector<uint8_t> v;
        return array(&v, error) ? fl_value_new_uint8_list(v.data(), v.size()) : nullptr;
      }
      case kInt32List: {
        std::vector<int32_t> v;
        return array(&v, error) ? fl_value_new_int32_list(v.data(), v.size()) : nullptr;
      }
      case kInt64List: {
        std::vector<int64_t> v;
        return array(&v, error) ? fl_value_new_int64_list(v.data(), v.size()) : nullptr;
      }
      case kFloat64List: {
        std::vector<double> v;
        return array(&v, error) ? fl_value_new_float_list(v.data(), v.size()) : nullptr;
      }
      case kFloat32List: {
        std::vector<float> v;
        return array(&v, error) ? fl_value_new_float32_list(v.data(), v.size()) : nullptr;
      }
      case kList:
      case kMap: {
        size_t n = 0;
        if (!size(&n, error)) return nullptr;
        // Every element takes at least one byte per value, so a count beyond that is a lie.
        size_t per_element = tag == kMap ? 2 : 1;
        if (n > remaining() / per_element) return out_of_data_value(error);
        g_autoptr(FlValue) container = tag == kMap ? fl_value_new_map() : fl_value_new_list();
        for (size_t i = 0; i < n; ++i) {
          FlValue* first = value(error, depth + 1);
          if (first == nullptr) return nullptr;
          if (tag == kList) {
            fl_value_append_take(container, first);
            continue;
          }
          FlValue* second = value(error, depth + 1);
          if (second == nullptr) {
            fl_value_unref(first);
            return nullptr;
          }
          fl_value_set_take(container, first, second);
        }
        return static_cast<FlValue*>(g_steal_pointer(&container));
      }
      default:
        g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                    "Unsupported value type %u", tag);
        return nullptr;
    }
  }

 private:
  bool need(size_t n, GError** error) {
    if (n > remaining()) return out_of_data(error);
    return true;
  }

  bool out_of_data(GError** error) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data");
    return false;
  }

  FlValue* out_of_data_value(GError** error) {
    out_of_data(error);
    return nullptr;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t offset_ = 0;
};

bool expect_end(const Reader& reader, GError** error) {
  if (reader.at_end()) return true;
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
              "Unused %zu bytes after the message", reader.remaining());
  return false;
}

}  // namespace

G_DEFINE_QUARK(fl_message_codec_error_quark, fl_message_codec_error)

G_DEFINE_TYPE(FlMessageCodec, fl_message_codec, G_TYPE_OBJECT)

static void fl_message_codec_class_init(FlMessageCodecClass*) {}
static void fl_message_codec_init(FlMessageCodec*) {}

GBytes* fl_message_codec_encode_message(FlMessageCodec* codec, FlValue* message,
                                        GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(codec), nullptr);
  return FL_MESSAGE_CODEC_GET_CLASS(codec)->encode_message(codec, message, error);
}

FlValue* fl_message_codec_decode_message(FlMessageCodec* codec, GBytes* message,
                                         GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(codec), nullptr);
  g_return_val_if_fail(message != nullptr, nullptr);
  return FL_MESSAGE_CODEC_GET_CLASS(codec)->decode_message(codec, message, error);
}

G_DEFINE_TYPE(FlStandardMessageCodec, fl_standard_message_codec, fl_message_codec_get_type())

static GBytes* standard_encode_message(FlMessageCodec*, FlValue* message, GError**) {
  Writer writer;
  if (message != nullptr) writer.value(message);
  return writer.take_bytes();
}

static FlValue* standard_decode_message(FlMessageCodec*, GBytes* message, GError** error) {
  Reader reader(message);
  g_autoptr(FlValue) value = reader.value(error);
  if (value == nullptr || !expect_end(reader, error)) return nullptr;
  return static_cast<FlValue*>(g_steal_pointer(&value));
}

static void fl_standard_message_codec_class_init(FlStandardMessageCodecClass* klass) {
  FL_MESSAGE_CODEC_CLASS(klass)->encode_message = standard_encode_message;
  FL_MESSAGE_CODEC_CLASS(klass)->decode_message = standard_decode_message;
}

static void fl_standard_message_codec_init(FlStandardMessageCodec*) {}

FlStandardMessageCodec* fl_standard_message_codec_new(void) {
  return FL_STANDARD_MESSAGE_CODEC(g_object_new(fl_standard_message_codec_get_type(), nullptr));
}

G_DEFINE_TYPE(FlMethodCodec, fl_method_codec, G_TYPE_OBJECT)

static void fl_method_codec_class_init(FlMethodCodecClass*) {}
static void fl_method_codec_init(FlMethodCodec*) {}

struct _FlStandardMethodCodec {
  FlMethodCodec parent_instance;
};

G_DEFINE_TYPE(FlStandardMethodCodec, fl_standard_method_codec, fl_method_codec_get_type())

static GBytes* standard_encode_method_call(FlMethodCodec*, const gchar* name, FlValue* args,
                                           GError**) {
  Writer writer;
  g_autoptr(FlValue) name_value = fl_value_new_string(name);
  g_autoptr(FlValue) null_value = fl_value_new_null();
  writer.value(name_value);
  writer.value(args != nullptr ? args : null_value);
  return writer.take_bytes();
}

static gboolean standard_decode_method_call(FlMethodCodec*, GBytes* message, gchar** name,
                                            FlValue** args, GError** error) {
  Reader reader(message);
  g_autoptr(FlValue) name_value = reader.value(error);
  if (name_value == nullptr) return FALSE;
  if (fl_value_get_type(name_value) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Method call name is not a string");
    return FALSE;
  }
  g_autoptr(FlValue) args_value = reader.value(error);
  if (args_value == nullptr || !expect_end(reader, error)) return FALSE;
  *name = g_strdup(fl_value_get_string(name_value));
  *args = static_cast<FlValue*>(g_steal_pointer(&args_value));
  return TRUE;
}

static GBytes* standard_encode_success_envelope(FlMethodCodec*, FlValue* result, GError**) {
  Writer writer;
  g_autoptr(FlValue) null_value = fl_value_new_null();
  writer.byte(0);
  writer.value(result != nullptr ? result : null_value);
  return writer.take_bytes();
}

static GBytes* standard_encode_error_envelope(FlMethodCodec*, const gchar* code,
                                              const gchar* message, FlValue* details,
                                              GError**) {
  Writer writer;
  g_autoptr(FlValue) code_value = fl_value_new_string(code);
  g_autoptr(FlValue) message_value =
      message != nullptr ? fl_value_new_string(message) : fl_value_new_null();
  g_autoptr(FlValue) null_value = fl_value_new_null();
  writer.byte(1);
  writer.value(code_value);
  writer.value(message_value);
  writer.value(details != nullptr ? details : null_value);
  return writer.take_bytes();
}

static FlMethodResponse* standard_decode_response(FlMethodCodec*, GBytes* message,
                                                  GError** error) {
  if (g_bytes_get_size(message) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  Reader reader(message);
  uint8_t envelope = 0;
  reader.byte(&envelope, error);
  if (envelope == 0) {
    g_autoptr(FlValue) result = reader.value(error);
    if (result == nullptr || !expect_end(reader, error)) return nullptr;
    return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  }
  if (envelope != 1) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Unknown reply envelope %u", envelope);
    return nullptr;
  }
  g_autoptr(FlValue) code = reader.value(error);
  if (code == nullptr) return nullptr;
  g_autoptr(FlValue) text = reader.value(error);
  if (text == nullptr) return nullptr;
  g_autoptr(FlValue) details = reader.value(error);
  if (details == nullptr || !expect_end(reader, error)) return nullptr;
  bool text_ok = fl_value_get_type(text) == FL_VALUE_TYPE_STRING ||
                 fl_value_get_type(text) == FL_VALUE_TYPE_NULL;
  if (fl_value_get_type(code) != FL_VALUE_TYPE_STRING || !text_ok) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Malformed error reply");
    return nullptr;
  }
  const gchar* message_text =
      fl_value_get_type(text) == FL_VALUE_TYPE_STRING ? fl_value_get_string(text) : nullptr;
  FlValue* details_or_null = fl_value_get_type(details) == FL_VALUE_TYPE_NULL ? nullptr : details;
  return FL_METHOD_RESPONSE(
      fl_method_error_response_new(fl_value_get_string(code), message_text, details_or_null));
}

static void fl_standard_method_codec_class_init(FlStandardMethodCodecClass* klass) {
  FlMethodCodecClass* codec = FL_METHOD_CODEC_CLASS(klass);
  codec->encode_method_call = standard_encode_method_call;
  codec->decode_method_call = standard_decode_method_call;
  codec->encode_success_envelope = standard_encode_success_envelope;
  codec->encode_error_envelope = standard_encode_error_envelope;
  codec->decode_response = standard_decode_response;
}

static void fl_standard_method_codec_init(FlStandardMethodCodec*) {}

FlStandardMethodCodec* fl_standard_method_codec_new(void) {
  return FL_STANDARD_METHOD_CODEC(g_object_new(fl_standard_method_codec_get_type(), nullptr));
}

FlMethodCodec* standin_shared_method_codec(void) {
  static FlMethodCodec* codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  return codec;
}

FlMessageCodec* standin_shared_message_codec(void) {
  static FlMessageCodec* codec = FL_MESSAGE_CODEC(fl_standard_message_codec_new());
  return codec;
}

GBytes* standin_encode_method_call(const gchar* name, FlValue* args) {
  FlMethodCodec* codec = standin_shared_method_codec();
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(codec, name, args, nullptr);
}

gboolean standin_decode_method_call(GBytes* message, gchar** name, FlValue** args,
                                    GError** error) {
  FlMethodCodec* codec = standin_shared_method_codec();
  return FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(codec, message, name, args, error);
}

GBytes* standin_encode_success_envelope(FlValue* result) {
  FlMethodCodec* codec = standin_shared_method_codec();
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_success_envelope(codec, result, nullptr);
}

GBytes* standin_encode_error_envelope(const gchar* code, const gchar* message,
                                      FlValue* details) {
  FlMethodCodec* codec = standin_shared_method_codec();
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_error_envelope(codec, code, message, details,
                                                                 nullptr);
}

FlMethodResponse* standin_decode_response(GBytes* message, GError** error) {
  FlMethodCodec* codec = standin_shared_method_codec();
  return FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(codec, message, error);
}
