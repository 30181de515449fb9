// Descriptions of operating-system errors as the library reports them.
#pragma once

#include <string>

namespace wd {

// The system's text for the error number, then " (os error N)".
std::string os_error_text(int error_number);

}  // namespace wd
