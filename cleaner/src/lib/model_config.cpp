#include "model_config.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "builder.h"
#include "file.h"
#include "os_error.h"

namespace wd {
namespace {

struct RequiredEntry {
  const char* key;
  const char* value;
};

// The one processing scheme this library implements, as the model must state it.
constexpr RequiredEntry kRequired[] = {
    {"model_type", "dpdfnet"}, {"sample_rate", "16000"}, {"n_fft", "320"},
    {"hop_length", "160"},     {"window_length", "320"}, {"window_type", "vorbis"},
    {"normalized", "0"},       {"center", "1"},          {"pad_mode", "reflect"},
    {"freq_bins", "161"},
};

CleanError missing_key(std::string_view key) {
  return CleanError::model("no " + std::string(key) + " in its metadata");
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point encoded by the bytes, or a value that is no white space when they
// are not one well-formed sequence.
char32_t decode_one(std::string_view bytes) {
  constexpr char32_t kNotWhite = 0xFFFFFFFF;
  if (bytes.empty()) return kNotWhite;
  const auto lead = static_cast<unsigned char>(bytes[0]);
  size_t length = 0;
  char32_t code = 0;
  if (lead < 0x80) return lead;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code = lead & 0x07;
  } else {
    return kNotWhite;
  }
  if (bytes.size() != length) return kNotWhite;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[i]);
    if ((next & 0xC0) != 0x80) return kNotWhite;
    code = (code << 6) | (next & 0x3F);
  }
  return code;
}

size_t leading_sequence_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
  return std::min(length, text.size());
}

size_t trailing_sequence_length(std::string_view text) {
  size_t length = 1;
  while (length < 4 && length < text.size() &&
         (static_cast<unsigned char>(text[text.size() - length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const size_t length = leading_sequence_length(text);
    if (!is_white_space(decode_one(text.substr(0, length)))) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const size_t length = trailing_sequence_length(text);
    if (!is_white_space(decode_one(text.substr(text.size() - length)))) break;
    text.remove_suffix(length);
  }
  return text;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An optional sign, then digits with an optional decimal point and an optional
// exponent, or one of the words inf, infinity and nan in any letter case.
bool is_float_text(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity") ||
      equals_ignoring_case(text, "nan")) {
    return true;
  }
  size_t i = 0;
  size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == text.size();
}

struct LocaleDeleter {
  void operator()(locale_t locale) const { freelocale(locale); }
};

// Text already known to be a float, converted to the nearest single-precision
// value whatever the process's locale says about decimal points.
float read_float(std::string_view text) {
  const std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter> c_locale(
      newlocale(LC_ALL_MASK, "C", locale_t{}));
  if (!c_locale) throw std::bad_alloc();
  const std::string terminated(text);
  return strtof_l(terminated.c_str(), nullptr, c_locale.get());
}

}  // namespace

Result<uint64_t, CleanError> parse_state_size(std::string_view text) {
  const CleanError not_a_number = CleanError::model("state_size is not a number");
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return not_a_number;
  uint64_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return not_a_number;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return not_a_number;
    value = value * 10 + digit;
  }
  return value;
}

Result<std::vector<float>, CleanError> parse_float_list(std::string_view key,
                                                        std::string_view text) {
  std::vector<float> values;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    const std::string_view trimmed = trim_white_space(piece);
    if (!is_float_text(trimmed)) {
      return CleanError::model(std::string(key) + " has " + std::string(piece));
    }
    values.push_back(read_float(trimmed));
    if (comma == std::string_view::npos) return values;
    text.remove_prefix(comma + 1);
  }
}

Result<std::vector<float>, CleanError> start_state_from_metadata(
    const std::map<std::string, std::string>& metadata) {
  for (const RequiredEntry& entry : kRequired) {
    const auto found = metadata.find(entry.key);
    if (found == metadata.end()) return missing_key(entry.key);
    if (found->second != entry.value) {
      return CleanError::model(std::string(entry.key) + " is " + found->second + ", not " +
                               entry.value);
    }
  }

  const auto size_entry = metadata.find("state_size");
  if (size_entry == metadata.end()) return missing_key("state_size");
  WD_TRY(const uint64_t state_size, parse_state_size(size_entry->second));
  if (state_size > kMaxStateSize) return CleanError::model("state_size is too large");

  std::vector<float> lists[2];
  const char* const list_keys[2] = {"erb_norm_init", "spec_norm_init"};
  for (size_t i = 0; i < 2; ++i) {
    const auto found = metadata.find(list_keys[i]);
    if (found == metadata.end()) return missing_key(list_keys[i]);
    WD_TRY(lists[i], parse_float_list(list_keys[i], found->second));
  }
  if (lists[0].size() + lists[1].size() > state_size) {
    return CleanError::model("its start values are longer than its state");
  }

  std::vector<float> state(state_size, 0.0f);
  std::copy(lists[0].begin(), lists[0].end(), state.begin());
  std::copy(lists[1].begin(), lists[1].end(), state.begin() + lists[0].size());
  return state;
}

Window vorbis_window() {
  // pi / 2 rounded to single precision (bits 0x3FC90FDB).
  constexpr float kHalfPi = 1.57079637050628662109375f;
  Window window{};
  for (size_t i = 0; i < kFrameLength; ++i) {
    float t = (static_cast<float>(i) + 0.5f) * kHalfPi;
    t = t / 160.0f;
    const float s = std::sin(t);
    const float u = (kHalfPi * s) * s;
    window[i] = std::sin(u);
  }
  return window;
}

Result<LoadedModel, CleanError> load_model(const std::string& path) {
  auto bytes = read_whole_file(path);
  if (!bytes) return CleanError::model(os_error_text(bytes.error().number));
  auto graph = load_graph(std::span<const uint8_t>(*bytes));
  if (!graph) return CleanError::model(std::move(graph).error().message);
  WD_TRY(std::vector<float> start_state, start_state_from_metadata(graph->metadata));
  graph->metadata.clear();
  return LoadedModel{std::move(graph).value(), std::move(start_state), vorbis_window()};
}

}  // namespace wd
