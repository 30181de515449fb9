// Loading the model: its graph, the check of its metadata, its start state and the
// analysis window.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "clean_error.h"
#include "graph.h"
#include "result.h"

namespace wd {

inline constexpr size_t kFrameLength = 320;
inline constexpr size_t kHop = 160;
inline constexpr size_t kBins = 161;

// Larger states are refused: a corrupt or hostile model must not be able to make
// the process that loaded the library allocate without bound.
inline constexpr uint64_t kMaxStateSize = uint64_t{1} << 24;

using Window = std::array<float, kFrameLength>;

struct LoadedModel {
  Graph graph;
  std::vector<float> start_state;
  Window window;
};

Result<LoadedModel, CleanError> load_model(const std::string& path);

// The checks of the required metadata, then the start state it describes.
Result<std::vector<float>, CleanError> start_state_from_metadata(
    const std::map<std::string, std::string>& metadata);

// An unsigned decimal with an optional leading "+", fitting 64 bits.
Result<uint64_t, CleanError> parse_state_size(std::string_view text);

// A comma-separated list of floats, each piece trimmed of Unicode white space.
Result<std::vector<float>, CleanError> parse_float_list(std::string_view key,
                                                        std::string_view text);

// The power-complementary (Vorbis) window, computed in single precision.
Window vorbis_window();

}  // namespace wd
