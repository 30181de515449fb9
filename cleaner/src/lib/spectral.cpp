#include "spectral.h"

#include <algorithm>
#include <new>

namespace wd {
namespace {

// 1 / 320 in single precision (bits 0x3B4CCCCD): undoes the two unscaled transforms.
constexpr float kInverseScale = 0.003125f;
constexpr uint64_t kFirstReleased = kHop + kLag;

}  // namespace

SpectralFrames::Plan SpectralFrames::make_plan(bool inverse) {
  Plan plan(kiss_fftr_alloc(static_cast<int>(kFrameLength), inverse ? 1 : 0, nullptr, nullptr));
  // The length is even, so the only way to fail is running out of memory.
  if (!plan) throw std::bad_alloc();
  return plan;
}

SpectralFrames::SpectralFrames(const Window& window)
    : window_(window), forward_(make_plan(false)), inverse_(make_plan(true)) {
  for (size_t i = 0; i < kHop; ++i) {
    norm_[i] = window_[i] * window_[i] + window_[i + kHop] * window_[i + kHop];
  }
}

Status<CleanError> SpectralFrames::begin_frames(PaddedStream& stream) {
  for (float& sample : frame_) {
    WD_TRY(sample, stream.next_sample());
  }
  overlap_.fill(0.0f);
  released_ = 0;
  return Ok{};
}

void SpectralFrames::analyse() {
  for (size_t m = 0; m < kFrameLength; ++m) windowed_[m] = frame_[m] * window_[m];
  kiss_fftr(forward_.get(), windowed_.data(), spectrum_.data());
}

void SpectralFrames::synthesise(uint64_t t) {
  kiss_fftri(inverse_.get(), spectrum_.data(), time_.data());
  for (size_t m = 0; m < kFrameLength; ++m) {
    overlap_[m] = overlap_[m] + (time_[m] * kInverseScale) * window_[m];
  }
  released_ = 0;
  for (size_t i = 0; i < kHop; ++i) {
    if (kHop * t + i >= kFirstReleased) hop_out_[released_++] = overlap_[i] / norm_[i];
  }
  std::copy(overlap_.begin() + kHop, overlap_.end(), overlap_.begin());
  std::fill(overlap_.begin() + kHop, overlap_.end(), 0.0f);
}

Status<CleanError> SpectralFrames::advance(PaddedStream& stream) {
  std::copy(frame_.begin() + kHop, frame_.end(), frame_.begin());
  for (size_t m = kHop; m < kFrameLength; ++m) {
    WD_TRY(frame_[m], stream.next_sample());
  }
  return Ok{};
}

}  // namespace wd
