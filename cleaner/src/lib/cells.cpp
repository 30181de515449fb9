#include "cells.h"

#include <atomic>

namespace wd {

RunCallbacks cell_callbacks(int32_t* progress, const int32_t* cancel) {
  RunCallbacks callbacks;
  callbacks.progress = [progress](uint64_t done, uint64_t total) {
    if (progress == nullptr) return;
    std::atomic_ref<int32_t>(*progress).store(static_cast<int32_t>(done * 10000 / total),
                                              std::memory_order_relaxed);
  };
  callbacks.cancel = [cancel]() {
    if (cancel == nullptr) return false;
    // The cell is only ever loaded; atomic_ref needs a non-const object type.
    return std::atomic_ref<int32_t>(*const_cast<int32_t*>(cancel))
               .load(std::memory_order_relaxed) != 0;
  };
  return callbacks;
}

}  // namespace wd
