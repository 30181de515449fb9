#include "run.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "executor.h"
#include "model_config.h"
#include "pcm.h"
#include "spectral.h"

namespace wd {
namespace {

constexpr size_t kSpectrumValues = 2 * kBins;
// The largest block of silence encoded and written at once.
constexpr uint64_t kSilenceBlock = 16000;

// One frame's spectrum through the model, the state carried in and out. The
// imaginary parts of the first and last bin are zero on both sides: the real
// inverse transform has no place for them.
Status<CleanError> model_frame(const LoadedModel& model, std::span<kiss_fft_cpx, kBins> spectrum,
                               std::array<float, kSpectrumValues>& packed,
                               std::vector<float>& state) {
  for (size_t k = 0; k < kBins; ++k) {
    packed[2 * k] = spectrum[k].r;
    packed[2 * k + 1] = spectrum[k].i;
  }
  packed[1] = 0.0f;
  packed[kSpectrumValues - 1] = 0.0f;
  WD_TRY(const std::vector<float> returned,
         model_step(model.graph, model.start_state.size(), packed, state));
  if (returned.size() != kSpectrumValues) internal_fault("the model step returned a wrong size");
  for (size_t k = 0; k < kBins; ++k) spectrum[k] = {returned[2 * k], returned[2 * k + 1]};
  spectrum[0].i = 0.0f;
  spectrum[kBins - 1].i = 0.0f;
  return Ok{};
}

Status<CleanError> write_samples(std::span<const float> samples, std::vector<uint8_t>& block,
                                 PcmWriter& writer) {
  encode(samples, block);
  return writer.write_all(block);
}

// Streams a recording of at least the shortest modelled length through the model
// frame by frame; returns the count of samples handed to the writer.
Result<uint64_t, CleanError> clean_frames(const LoadedModel& model, PcmReader& reader,
                                          PcmWriter& writer, std::vector<uint8_t>& block,
                                          const RunCallbacks& callbacks) {
  SpectralFrames frames(model.window);
  WD_TRY(PaddedStream stream, PaddedStream::create(reader));
  WD_CHECK(frames.begin_frames(stream));
  std::vector<float> state = model.start_state;
  std::array<float, kSpectrumValues> packed{};

  const uint64_t frame_count = reader.sample_count() / kHop + 1;
  uint64_t written = 0;
  for (uint64_t t = 0; t < frame_count; ++t) {
    if (callbacks.cancel && callbacks.cancel()) return CleanError::cancelled();
    frames.analyse();
    WD_CHECK(model_frame(model, frames.spectrum(), packed, state));
    frames.synthesise(t);
    const std::span<const float> released = frames.released();
    if (!released.empty()) {
      WD_CHECK(write_samples(released, block, writer));
      written += released.size();
    }
    if (t + 1 < frame_count) WD_CHECK(frames.advance(stream));
    if (callbacks.progress) callbacks.progress(t + 1, frame_count);
  }
  return written;
}

}  // namespace

Status<CleanError> run(const std::string& model_path, const std::string& input_path,
                       const std::string& output_path, const RunCallbacks& callbacks) {
  WD_TRY(const LoadedModel model, load_model(model_path));
  WD_TRY(PcmReader reader, open_input(input_path));
  if (reader.is_same_file(output_path)) {
    return CleanError::output("the output would overwrite the input");
  }
  WD_TRY(PcmWriter writer, create_output(output_path));
  std::vector<uint8_t> block;
  block.reserve(2 * kHop);

  const uint64_t n = reader.sample_count();
  if (n < kShortestModelled) {
    std::vector<float> samples(n);
    WD_CHECK(reader.read(0, samples));
    WD_CHECK(write_samples(samples, block, writer));
  } else {
    WD_TRY(uint64_t written, clean_frames(model, reader, writer, block, callbacks));
    const std::vector<float> silence(std::min(n - written, kSilenceBlock), 0.0f);
    while (written < n) {
      const uint64_t k = std::min(n - written, kSilenceBlock);
      WD_CHECK(write_samples(std::span(silence).first(k), block, writer));
      written += k;
    }
  }
  return writer.flush();
}

}  // namespace wd
