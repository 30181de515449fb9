// The caller's progress and cancel cells, as the run's callbacks.
#pragma once

#include <cstdint>

#include "run.h"

namespace wd {

// progress(done, total) stores done * 10000 / total in the progress cell; cancel()
// is true while the cancel cell holds a non-zero value. Either cell may be null.
// Each access is one 32-bit atomic load or store, so the caller may watch and set
// the cells from other threads.
RunCallbacks cell_callbacks(int32_t* progress, const int32_t* cancel);

}  // namespace wd
