// Short-time analysis of the padded input and synthesis of the model's spectra by
// inverse transform, windowed overlap-add and normalisation.
#pragma once

#include <kissfft/kiss_fftr.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "clean_error.h"
#include "model_config.h"
#include "pcm.h"
#include "result.h"

namespace wd {

// Synthesised samples dropped at the start of the recording: four hops.
inline constexpr uint64_t kLag = 640;

// The transform plans and every frame buffer of one run, made once before the
// first frame; the frame loop allocates nothing.
class SpectralFrames {
 public:
  explicit SpectralFrames(const Window& window);

  // Fills the first frame from the stream, clears the overlap-add accumulator.
  Status<CleanError> begin_frames(PaddedStream& stream);
  // The unscaled forward transform of the windowed current frame into spectrum().
  void analyse();
  // Adds the inverse transform of spectrum() as frame t and releases the samples
  // that are complete from padded position 160 + lag on.
  void synthesise(uint64_t t);
  // Moves the frame on by one hop.
  Status<CleanError> advance(PaddedStream& stream);

  std::span<kiss_fft_cpx, kBins> spectrum() { return spectrum_; }
  std::span<const float> released() const { return std::span(hop_out_).first(released_); }

 private:
  struct PlanDeleter {
    void operator()(kiss_fftr_state* plan) const { kiss_fftr_free(plan); }
  };
  using Plan = std::unique_ptr<kiss_fftr_state, PlanDeleter>;

  static Plan make_plan(bool inverse);

  Window window_;
  Plan forward_;
  Plan inverse_;
  std::array<float, kFrameLength> frame_{};
  std::array<float, kFrameLength> windowed_{};
  std::array<kiss_fft_cpx, kBins> spectrum_{};
  std::array<float, kFrameLength> time_{};
  std::array<float, kFrameLength> overlap_{};
  std::array<float, kHop> norm_{};
  std::array<float, kHop> hop_out_{};
  size_t released_ = 0;
};

}  // namespace wd
