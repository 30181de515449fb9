#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "cells.h"
#include "clean_error.h"
#include "cleaner.h"
#include "run.h"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      const unsigned char lowest = k == 1 ? low : 0x80;
      const unsigned char highest = k == 1 ? high : 0xBF;
      if (next < lowest || next > highest) return false;
    }
    i += length;
  }
  return true;
}

// The path as text, or the message that ends the call.
std::optional<std::string_view> convert_path(const char* path, const char*& failure) {
  if (path == nullptr) {
    failure = "a path is missing";
    return std::nullopt;
  }
  const std::string_view text(path);
  if (!is_utf8(text)) {
    failure = "a path is not UTF-8";
    return std::nullopt;
  }
  return text;
}

void write_message(char* buffer, size_t size, std::string_view prefix, std::string_view text) {
  if (buffer == nullptr || size == 0) return;
  const size_t room = size - 1;
  size_t used = 0;
  for (const std::string_view part : {prefix, text}) {
    const size_t taken = std::min(part.size(), room - used);
    if (taken == 0) continue;  // an empty part may have no data at all
    std::memcpy(buffer + used, part.data(), taken);
    used += taken;
  }
  buffer[used] = '\0';
}

std::string_view prefix_of(wd::ErrorKind kind) {
  switch (kind) {
    case wd::ErrorKind::Model:
      return "model: ";
    case wd::ErrorKind::Input:
      return "input: ";
    case wd::ErrorKind::Output:
      return "output: ";
    case wd::ErrorKind::Cancelled:
    case wd::ErrorKind::Other:
      break;
  }
  return {};
}

int code_of(wd::ErrorKind kind) {
  switch (kind) {
    case wd::ErrorKind::Cancelled:
      return WD_CANCELLED;
    case wd::ErrorKind::Model:
      return WD_MODEL;
    case wd::ErrorKind::Input:
      return WD_INPUT;
    case wd::ErrorKind::Output:
      return WD_OUTPUT;
    case wd::ErrorKind::Other:
      break;
  }
  return WD_OTHER;
}

}  // namespace

extern "C" WD_EXPORT int wd_abi(void) { return WD_ABI_VERSION; }

extern "C" WD_EXPORT int wd_clean(const char* model_path, const char* input_path,
                                  const char* output_path, int32_t* progress, const int32_t* cancel,
                                  char* message, size_t message_len) {
  const char* path_failure = nullptr;
  const auto model = convert_path(model_path, path_failure);
  const auto input = model ? convert_path(input_path, path_failure) : std::nullopt;
  const auto output = input ? convert_path(output_path, path_failure) : std::nullopt;
  if (!output) {
    write_message(message, message_len, {}, path_failure);
    return WD_OTHER;
  }

  int code = WD_OTHER;
  std::string_view prefix;
  std::string text;
  std::string_view shown;
  // Every internal failure of the run, whatever its type, ends here; unwinding has
  // closed every file the run opened.
  try {
    wd::Status<wd::CleanError> outcome =
        wd::run(std::string(*model), std::string(*input), std::string(*output),
                wd::cell_callbacks(progress, cancel));
    if (outcome) return WD_OK;
    wd::CleanError error = std::move(outcome).error();
    code = code_of(error.kind);
    prefix = prefix_of(error.kind);
    if (error.kind == wd::ErrorKind::Cancelled) {
      shown = "cancelled";
    } else {
      text = std::move(error.message);
      shown = text;
    }
  } catch (...) {
    code = WD_OTHER;
    prefix = {};
    shown = "the cleaner stopped unexpectedly";
  }
  write_message(message, message_len, prefix, shown);
  return code;
}
