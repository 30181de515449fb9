// One cleaning run: model in, recording in, cleaned recording of the same length out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "clean_error.h"
#include "result.h"

namespace wd {

// Recordings shorter than this are copied through the sample conversion.
inline constexpr uint64_t kShortestModelled = 1600;

struct RunCallbacks {
  // Called once per frame with done = t + 1 and total = the frame count.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Asked once per frame, before the frame is analysed.
  std::function<bool()> cancel;
};

Status<CleanError> run(const std::string& model_path, const std::string& input_path,
                       const std::string& output_path, const RunCallbacks& callbacks);

}  // namespace wd
