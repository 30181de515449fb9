#include <flutter_linux/fl_value.h>

#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

// One struct for every type keeps the accessors trivial; only the members of the value's own
// type are used.
struct _FlValue {
  FlValueType type;
  gint ref_count = 1;
  bool bool_value = false;
  int64_t int_value = 0;
  double float_value = 0.0;
  std::string string_value;
  std::vector<uint8_t> uint8_values;
  std::vector<int32_t> int32_values;
  std::vector<int64_t> int64_values;
  std::vector<float> float32_values;
  std::vector<double> float_values;
  std::vector<FlValue*> children;  // list items, or map values
  std::vector<FlValue*> keys;      // map keys, parallel to children

  explicit _FlValue(FlValueType t) : type(t) {}
};

namespace {

FlValue* make(FlValueType type) { return new FlValue(type); }

template <typename T>
std::vector<T> copy_of(const T* data, size_t length) {
  return data == nullptr ? std::vector<T>() : std::vector<T>(data, data + length);
}

bool is_type(FlValue* value, FlValueType type) {
  return value != nullptr && value->type == type;
}

void append_number(GString* out, double number) {
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_dtostr(text, sizeof text, number);
  g_string_append(out, text);
  if (std::isfinite(number) && std::strpbrk(text, ".eE") == nullptr) {
    g_string_append(out, ".0");
  }
}

void append_text(GString* out, FlValue* value);

template <typename T, typename F>
void append_elements(GString* out, const std::vector<T>& elements, F append_one) {
  g_string_append_c(out, '[');
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) g_string_append(out, ", ");
    append_one(elements[i]);
  }
  g_string_append_c(out, ']');
}

void append_text(GString* out, FlValue* value) {
  switch (value->type) {
    case FL_VALUE_TYPE_NULL:
      g_string_append(out, "null");
      break;
    case FL_VALUE_TYPE_BOOL:
      g_string_append(out, value->bool_value ? "true" : "false");
      break;
    case FL_VALUE_TYPE_INT:
      g_string_append_printf(out, "%" PRId64, value->int_value);
      break;
    case FL_VALUE_TYPE_FLOAT:
      append_number(out, value->float_value);
      break;
    case FL_VALUE_TYPE_STRING:
      g_string_append_len(out, value->string_value.data(),
                          static_cast<gssize>(value->string_value.size()));
      break;
    case FL_VALUE_TYPE_UINT8_LIST:
      append_elements(out, value->uint8_values,
                      [out](uint8_t v) { g_string_append_printf(out, "%u", v); });
      break;
    case FL_VALUE_TYPE_INT32_LIST:
      append_elements(out, value->int32_values,
                      [out](int32_t v) { g_string_append_printf(out, "%" PRId32, v); });
      break;
    case FL_VALUE_TYPE_INT64_LIST:
      append_elements(out, value->int64_values,
                      [out](int64_t v) { g_string_append_printf(out, "%" PRId64, v); });
      break;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      append_elements(out, value->float32_values, [out](float v) { append_number(out, v); });
      break;
    case FL_VALUE_TYPE_FLOAT_LIST:
      append_elements(out, value->float_values, [out](double v) { append_number(out, v); });
      break;
    case FL_VALUE_TYPE_LIST:
      append_elements(out, value->children, [out](FlValue* v) { append_text(out, v); });
      break;
    case FL_VALUE_TYPE_MAP:
      g_string_append_c(out, '{');
      for (size_t i = 0; i < value->keys.size(); ++i) {
        if (i > 0) g_string_append(out, ", ");
        append_text(out, value->keys[i]);
        g_string_append(out, ": ");
        append_text(out, value->children[i]);
      }
      g_string_append_c(out, '}');
      break;
  }
}

}  // namespace

FlValue* fl_value_new_null(void) { return make(FL_VALUE_TYPE_NULL); }

FlValue* fl_value_new_bool(bool value) {
  FlValue* v = make(FL_VALUE_TYPE_BOOL);
  v->bool_value = value;
  return v;
}

FlValue* fl_value_new_int(int64_t value) {
  FlValue* v = make(FL_VALUE_TYPE_INT);
  v->int_value = value;
  return v;
}

FlValue* fl_value_new_float(double value) {
  FlValue* v = make(FL_VALUE_TYPE_FLOAT);
  v->float_value = value;
  return v;
}

FlValue* fl_value_new_string(const gchar* value) {
  return fl_value_new_string_sized(value, value == nullptr ? 0 : std::strlen(value));
}

FlValue* fl_value_new_string_sized(const gchar* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_STRING);
  if (value != nullptr) v->string_value.assign(value, value_length);
  return v;
}

FlValue* fl_value_new_uint8_list(const uint8_t* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_UINT8_LIST);
  v->uint8_values = copy_of(value, value_length);
  return v;
}

FlValue* fl_value_new_uint8_list_from_bytes(GBytes* value) {
  gsize length = 0;
  const auto* data = static_cast<const uint8_t*>(g_bytes_get_data(value, &length));
  return fl_value_new_uint8_list(data, length);
}

FlValue* fl_value_new_int32_list(const int32_t* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_INT32_LIST);
  v->int32_values = copy_of(value, value_length);
  return v;
}

FlValue* fl_value_new_int64_list(const int64_t* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_INT64_LIST);
  v->int64_values = copy_of(value, value_length);
  return v;
}

FlValue* fl_value_new_float32_list(const float* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_FLOAT32_LIST);
  v->float32_values = copy_of(value, value_length);
  return v;
}

FlValue* fl_value_new_float_list(const double* value, size_t value_length) {
  FlValue* v = make(FL_VALUE_TYPE_FLOAT_LIST);
  v->float_values = copy_of(value, value_length);
  return v;
}

FlValue* fl_value_new_list(void) { return make(FL_VALUE_TYPE_LIST); }

FlValue* fl_value_new_list_from_strv(const gchar* const* value) {
  FlValue* v = fl_value_new_list();
  for (size_t i = 0; value != nullptr && value[i] != nullptr; ++i) {
    fl_value_append_take(v, fl_value_new_string(value[i]));
  }
  return v;
}

FlValue* fl_value_new_map(void) { return make(FL_VALUE_TYPE_MAP); }

FlValue* fl_value_ref(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_atomic_int_inc(&value->ref_count);
  return value;
}

void fl_value_unref(FlValue* value) {
  g_return_if_fail(value != nullptr);
  if (!g_atomic_int_dec_and_test(&value->ref_count)) return;
  for (FlValue* child : value->children) fl_value_unref(child);
  for (FlValue* key : value->keys) fl_value_unref(key);
  delete value;
}

FlValueType fl_value_get_type(FlValue* value) {
  g_return_val_if_fail(value != nullptr, FL_VALUE_TYPE_NULL);
  return value->type;
}

bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != nullptr && b != nullptr, false);
  if (a == b) return true;
  if (a->type != b->type) return false;
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->bool_value == b->bool_value;
    case FL_VALUE_TYPE_INT:
      return a->int_value == b->int_value;
    case FL_VALUE_TYPE_FLOAT:
      return a->float_value == b->float_value;
    case FL_VALUE_TYPE_STRING:
      return a->string_value == b->string_value;
    case FL_VALUE_TYPE_UINT8_LIST:
      return a->uint8_values == b->uint8_values;
    case FL_VALUE_TYPE_INT32_LIST:
      return a->int32_values == b->int32_values;
    case FL_VALUE_TYPE_INT64_LIST:
      return a->int64_values == b->int64_values;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return a->float32_values == b->float32_values;
    case FL_VALUE_TYPE_FLOAT_LIST:
      return a->float_values == b->float_values;
    case FL_VALUE_TYPE_LIST:
      if (a->children.size() != b->children.size()) return false;
      for (size_t i = 0; i < a->children.size(); ++i) {
        if (!fl_value_equal(a->children[i], b->children[i])) return false;
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      // Maps are equal when they hold the same pairs, in whatever order.
      if (a->keys.size() != b->keys.size()) return false;
      for (size_t i = 0; i < a->keys.size(); ++i) {
        FlValue* other = fl_value_lookup(b, a->keys[i]);
        if (other == nullptr || !fl_value_equal(a->children[i], other)) return false;
      }
      return true;
  }
  return false;
}

void fl_value_append(FlValue* value, FlValue* child) {
  g_return_if_fail(is_type(value, FL_VALUE_TYPE_LIST));
  g_return_if_fail(child != nullptr);
  fl_value_append_take(value, fl_value_ref(child));
}

void fl_value_append_take(FlValue* value, FlValue* child) {
  g_return_if_fail(is_type(value, FL_VALUE_TYPE_LIST));
  g_return_if_fail(child != nullptr);
  value->children.push_back(child);
}

void fl_value_set(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(is_type(value, FL_VALUE_TYPE_MAP));
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(value, fl_value_ref(key), fl_value_ref(child_value));
}

void fl_value_set_take(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(is_type(value, FL_VALUE_TYPE_MAP));
  g_return_if_fail(key != nullptr && child_value != nullptr);
  for (size_t i = 0; i < value->keys.size(); ++i) {
    if (fl_value_equal(value->keys[i], key)) {
      fl_value_unref(value->keys[i]);
      fl_value_unref(value->children[i]);
      value->keys[i] = key;
      value->children[i] = child_value;
      return;
    }
  }
  value->keys.push_back(key);
  value->children.push_back(child_value);
}

void fl_value_set_string(FlValue* value, const gchar* key, FlValue* child_value) {
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(value, fl_value_new_string(key), fl_value_ref(child_value));
}

void fl_value_set_string_take(FlValue* value, const gchar* key, FlValue* child_value) {
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(value, fl_value_new_string(key), child_value);
}

bool fl_value_get_bool(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_BOOL), false);
  return value->bool_value;
}

int64_t fl_value_get_int(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_INT), 0);
  return value->int_value;
}

double fl_value_get_float(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_FLOAT), 0.0);
  return value->float_value;
}

const gchar* fl_value_get_string(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_STRING), nullptr);
  return value->string_value.c_str();
}

const uint8_t* fl_value_get_uint8_list(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_UINT8_LIST), nullptr);
  return value->uint8_values.data();
}

const int32_t* fl_value_get_int32_list(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_INT32_LIST), nullptr);
  return value->int32_values.data();
}

const int64_t* fl_value_get_int64_list(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_INT64_LIST), nullptr);
  return value->int64_values.data();
}

const float* fl_value_get_float32_list(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_FLOAT32_LIST), nullptr);
  return value->float32_values.data();
}

const double* fl_value_get_float_list(FlValue* value) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_FLOAT_LIST), nullptr);
  return value->float_values.data();
}

size_t fl_value_get_length(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0);
  switch (value->type) {
    case FL_VALUE_TYPE_UINT8_LIST:
      return value->uint8_values.size();
    case FL_VALUE_TYPE_INT32_LIST:
      return value->int32_values.size();
    case FL_VALUE_TYPE_INT64_LIST:
      return value->int64_values.size();
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return value->float32_values.size();
    case FL_VALUE_TYPE_FLOAT_LIST:
      return value->float_values.size();
    case FL_VALUE_TYPE_LIST:
    case FL_VALUE_TYPE_MAP:
      return value->children.size();
    default:
      g_return_val_if_reached(0);
  }
}

FlValue* fl_value_get_list_value(FlValue* value, size_t index) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_LIST), nullptr);
  g_return_val_if_fail(index < value->children.size(), nullptr);
  return value->children[index];
}

FlValue* fl_value_get_map_key(FlValue* value, size_t index) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_MAP), nullptr);
  g_return_val_if_fail(index < value->keys.size(), nullptr);
  return value->keys[index];
}

FlValue* fl_value_get_map_value(FlValue* value, size_t index) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_MAP), nullptr);
  g_return_val_if_fail(index < value->children.size(), nullptr);
  return value->children[index];
}

FlValue* fl_value_lookup(FlValue* value, FlValue* key) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_MAP), nullptr);
  g_return_val_if_fail(key != nullptr, nullptr);
  for (size_t i = 0; i < value->keys.size(); ++i) {
    if (fl_value_equal(value->keys[i], key)) return value->children[i];
  }
  return nullptr;
}

FlValue* fl_value_lookup_string(FlValue* value, const gchar* key) {
  g_return_val_if_fail(is_type(value, FL_VALUE_TYPE_MAP), nullptr);
  g_return_val_if_fail(key != nullptr, nullptr);
  for (size_t i = 0; i < value->keys.size(); ++i) {
    FlValue* k = value->keys[i];
    if (k->type == FL_VALUE_TYPE_STRING && k->string_value == key) return value->children[i];
  }
  return nullptr;
}

gchar* fl_value_to_string(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  GString* out = g_string_new(nullptr);
  append_text(out, value);
  return g_string_free(out, FALSE);
}
