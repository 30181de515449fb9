// --check: loads a model as the library would and describes it for its author.
#pragma once

#include <string>

namespace wrenpad_clean {

// Prints the description on standard output and returns 0, or prints the library's
// error and returns its result code.
int check_model(const std::string& path);

}  // namespace wrenpad_clean
