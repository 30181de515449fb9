#include "os_error.h"

#include <string.h>

#include <array>

namespace wd {

std::string os_error_text(int error_number) {
  // The GNU strerror_r: thread-safe, and it may return a static text instead of
  // filling the buffer.
  std::array<char, 256> buffer{};
  const char* text = strerror_r(error_number, buffer.data(), buffer.size());
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace wd
