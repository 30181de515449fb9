// The body of every fuzz target: WD_FUZZ_ENTRY names the entry of entries.h that
// the target drives.
#include <cstdio>
#include <cstdlib>

#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const wd::fuzz::Problem problem = wd::fuzz::WD_FUZZ_ENTRY({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", problem->c_str());
    std::abort();
  }
  return 0;
}
