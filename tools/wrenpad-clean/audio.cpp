#include "audio.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace wrenpad_clean {
namespace {

constexpr double kRate = 16000.0;
constexpr sf_count_t kBlockFrames = 4096;

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

struct SoxrDeleter {
  void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool has_suffix(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

int16_t to_sample(float value) {
  const float scaled = std::nearbyint(value * 32768.0f);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

std::optional<std::string> write_samples(std::FILE* out, const float* samples, size_t count) {
  if (count == 0) return std::nullopt;
  std::vector<unsigned char> bytes(count * 2);
  for (size_t i = 0; i < count; ++i) {
    const auto value = static_cast<uint16_t>(to_sample(samples[i]));
    bytes[2 * i] = static_cast<unsigned char>(value & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(value >> 8);
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    return std::string("cannot write the converted recording");
  }
  return std::nullopt;
}

void mix_down(const std::vector<float>& interleaved, sf_count_t frames, int channels,
              std::vector<float>& mono) {
  mono.assign(static_cast<size_t>(frames), 0.0f);
  for (sf_count_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (int c = 0; c < channels; ++c) sum += interleaved[static_cast<size_t>(f * channels + c)];
    mono[static_cast<size_t>(f)] = sum / static_cast<float>(channels);
  }
}

// Feeds a block through the resampler and writes what it gives back. A null block
// drains what the resampler still holds at the end of the input.
std::optional<std::string> resample_block(soxr_t resampler, const float* block, size_t frames,
                                          std::vector<float>& resampled, std::FILE* out) {
  size_t offset = 0;
  while (true) {
    size_t consumed = 0;
    size_t produced = 0;
    if (soxr_error_t error =
            soxr_process(resampler, block ? block + offset : nullptr, frames - offset, &consumed,
                         resampled.data(), resampled.size(), &produced)) {
      return std::string(error);
    }
    offset += consumed;
    if (auto error = write_samples(out, resampled.data(), produced)) return error;
    const bool done = block ? offset == frames : produced == 0;
    if (done) return std::nullopt;
  }
}

}  // namespace

bool is_raw_pcm(const std::string& path) {
  if (has_suffix(path, ".raw") || has_suffix(path, ".pcm")) return true;
  SF_INFO info{};
  Sndfile file(sf_open(path.c_str(), SFM_READ, &info));
  return !file;
}

std::optional<std::string> decode_to_raw(const std::string& audio_path,
                                         const std::string& raw_path) {
  SF_INFO info{};
  Sndfile in(sf_open(audio_path.c_str(), SFM_READ, &info));
  if (!in) return std::string(sf_strerror(nullptr));
  if (info.channels < 1 || info.samplerate < 1) return std::string("a recording without sound");
  File out(std::fopen(raw_path.c_str(), "wb"));
  if (!out) return std::string("cannot create a temporary file");

  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  Resampler resampler(
      soxr_create(info.samplerate, kRate, 1, &error, &io, &quality, nullptr));
  if (!resampler) return std::string(error ? error : "the resampler cannot start");

  std::vector<float> interleaved(static_cast<size_t>(kBlockFrames * info.channels));
  std::vector<float> mono;
  const double ratio = kRate / info.samplerate;
  std::vector<float> resampled(static_cast<size_t>(kBlockFrames * ratio) + 1024);
  while (true) {
    const sf_count_t frames = sf_readf_float(in.get(), interleaved.data(), kBlockFrames);
    if (frames <= 0) break;
    mix_down(interleaved, frames, info.channels, mono);
    if (auto failure = resample_block(resampler.get(), mono.data(), mono.size(), resampled,
                                      out.get())) {
      return failure;
    }
  }
  if (sf_error(in.get()) != SF_ERR_NO_ERROR) return std::string(sf_strerror(in.get()));
  if (auto failure = resample_block(resampler.get(), nullptr, 0, resampled, out.get())) {
    return failure;
  }
  if (std::fflush(out.get()) != 0) return std::string("cannot write the converted recording");
  return std::nullopt;
}

std::optional<std::string> raw_to_wav(const std::string& raw_path, const std::string& wav_path) {
  File in(std::fopen(raw_path.c_str(), "rb"));
  if (!in) return std::string("cannot read the cleaned recording");
  SF_INFO info{};
  info.samplerate = static_cast<int>(kRate);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  Sndfile out(sf_open(wav_path.c_str(), SFM_WRITE, &info));
  if (!out) return std::string(sf_strerror(nullptr));

  std::vector<unsigned char> bytes(static_cast<size_t>(kBlockFrames) * 2);
  std::vector<short> samples(static_cast<size_t>(kBlockFrames));
  size_t count = 0;
  while ((count = std::fread(bytes.data(), 2, static_cast<size_t>(kBlockFrames), in.get())) > 0) {
    for (size_t i = 0; i < count; ++i) {
      samples[i] = static_cast<short>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    if (sf_write_short(out.get(), samples.data(), static_cast<sf_count_t>(count)) !=
        static_cast<sf_count_t>(count)) {
      return std::string(sf_strerror(out.get()));
    }
  }
  if (std::ferror(in.get())) return std::string("cannot read the cleaned recording");
  return std::nullopt;
}

}  // namespace wrenpad_clean
