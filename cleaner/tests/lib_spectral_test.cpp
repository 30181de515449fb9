#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <optional>
#include <random>

#include "lib_test_files.h"
#include "model_config.h"
#include "pcm.h"
#include "spectral.h"

namespace wd {
namespace {

using Complex = std::complex<double>;

// A recording on disk with its padded signal worked out independently.
struct Recording {
  testing::TempDir dir;
  std::vector<int16_t> samples;
  std::vector<double> padded;

  explicit Recording(size_t n) : samples(testing::test_signal(n)) {
    testing::write_pcm(dir.file("x.raw"), samples);
    for (size_t a = 0; a < n + 320; ++a) {
      const size_t index = a < 160 ? 160 - a : a < n + 160 ? a - 160 : 2 * n + 158 - a;
      padded.push_back(samples[index] / 32768.0);
    }
  }
  std::string path() const { return dir.file("x.raw"); }
};

// The frames of a run over a recording, driven the way the run drives them.
struct Frames {
  std::unique_ptr<PcmReader> reader;
  std::optional<PaddedStream> stream;
  SpectralFrames frames;

  static std::unique_ptr<Frames> open(const Recording& recording, const Window& window) {
    auto reader = open_input(recording.path());
    if (!reader) return nullptr;
    auto opened = std::make_unique<Frames>(
        Frames{std::make_unique<PcmReader>(std::move(reader).value()), {}, SpectralFrames(window)});
    auto stream = PaddedStream::create(*opened->reader);
    if (!stream) return nullptr;
    opened->stream = std::move(stream).value();
    if (!opened->frames.begin_frames(*opened->stream).ok()) return nullptr;
    return opened;
  }

  bool advance() { return frames.advance(*stream).ok(); }
};

TEST(Analysis, IsTheUnscaledDftOfTheWindowedFrame) {
  const Window window = vorbis_window();
  const Recording recording(2000);
  auto frames = Frames::open(recording, window);
  ASSERT_TRUE(frames);
  for (uint64_t t = 0; t < 6; ++t) {
    SCOPED_TRACE(t);
    if (t > 0) {
      ASSERT_TRUE(frames->advance());
    }
    frames->frames.analyse();
    const auto spectrum = frames->frames.spectrum();
    for (size_t k = 0; k < 161; ++k) {
      Complex expected = 0;
      for (size_t m = 0; m < 320; ++m) {
        expected += recording.padded[160 * t + m] * static_cast<double>(window[m]) *
                    std::polar(1.0, -2 * M_PI * static_cast<double>(k * m) / 320);
      }
      ASSERT_NEAR(spectrum[k].r, expected.real(), 2e-5) << k;
      ASSERT_NEAR(spectrum[k].i, expected.imag(), 2e-5) << k;
    }
  }
}

TEST(Synthesis, OverlapsAddsAndNormalisesTheInverseTransforms) {
  const Window window = vorbis_window();
  const Recording recording(2000);
  auto frames = Frames::open(recording, window);
  ASSERT_TRUE(frames);

  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  const uint64_t frame_count = 9;
  std::vector<double> summed(160 * frame_count + 160, 0.0);
  for (uint64_t t = 0; t < frame_count; ++t) {
    SCOPED_TRACE(t);
    auto spectrum = frames->frames.spectrum();
    std::vector<Complex> bins(161);
    for (size_t k = 0; k < 161; ++k) {
      const bool real_only = k == 0 || k == 160;
      spectrum[k] = {value(random), real_only ? 0.0f : value(random)};
      bins[k] = {spectrum[k].r, spectrum[k].i};
    }
    // The inverse DFT of the Hermitian extension, scaled by 1/320, windowed.
    for (size_t m = 0; m < 320; ++m) {
      Complex sum = bins[0] + bins[160] * std::polar(1.0, M_PI * static_cast<double>(m));
      for (size_t k = 1; k < 160; ++k) {
        sum += 2.0 * bins[k] * std::polar(1.0, 2 * M_PI * static_cast<double>(k * m) / 320);
      }
      summed[160 * t + m] += sum.real() / 320 * window[m];
    }
    frames->frames.synthesise(t);
    const auto released = frames->frames.released();
    if (t < 5) {
      EXPECT_TRUE(released.empty());
      continue;
    }
    ASSERT_EQ(released.size(), 160u);
    for (size_t i = 0; i < 160; ++i) {
      const double norm = static_cast<double>(window[i]) * window[i] +
                          static_cast<double>(window[i + 160]) * window[i + 160];
      ASSERT_NEAR(released[i], summed[160 * t + i] / norm, 2e-5) << i;
    }
  }
}

// A spectrum with nothing but a constant part transforms back to that constant
// exactly, so every rounding after the transform shows: the scale applies before
// the window, the overlapping frames are summed, then divided by norm.
TEST(Synthesis, RoundsEachStepInSinglePrecisionInItsOrder) {
  const Window window = vorbis_window();
  SpectralFrames frames(window);
  const float scale = 0.003125f;
  std::vector<float> summed(160 * 10, 0.0f);
  for (uint64_t t = 0; t < 9; ++t) {
    SCOPED_TRACE(t);
    const float constant = 12345.678f * static_cast<float>(t + 1) / 7.0f;
    auto spectrum = frames.spectrum();
    std::fill(spectrum.begin(), spectrum.end(), kiss_fft_cpx{0.0f, 0.0f});
    spectrum[0].r = constant;
    for (size_t m = 0; m < 320; ++m) {
      summed[160 * t + m] = summed[160 * t + m] + (constant * scale) * window[m];
    }
    frames.synthesise(t);
    const auto released = frames.released();
    ASSERT_EQ(released.size(), t < 5 ? 0u : 160u);
    for (size_t i = 0; i < released.size(); ++i) {
      const float norm = window[i] * window[i] + window[i + 160] * window[i + 160];
      ASSERT_EQ(released[i], summed[160 * t + i] / norm) << i;
    }
  }
}

// With the spectrum left as analysed, the released samples are the recording from
// index 640 on: the window pair is power-complementary.
TEST(AnalysisAndSynthesis, GiveBackTheRecordingFourHopsAhead) {
  const Window window = vorbis_window();
  struct Case {
    size_t n;
    size_t released;
  };
  for (const Case c : {Case{1600, 960}, Case{1759, 960}, Case{16000, 15360}}) {
    SCOPED_TRACE(c.n);
    const Recording recording(c.n);
    auto frames = Frames::open(recording, window);
    ASSERT_TRUE(frames);
    const uint64_t frame_count = c.n / 160 + 1;
    std::vector<float> out;
    for (uint64_t t = 0; t < frame_count; ++t) {
      frames->frames.analyse();
      frames->frames.synthesise(t);
      const auto released = frames->frames.released();
      out.insert(out.end(), released.begin(), released.end());
      if (t + 1 < frame_count) {
        ASSERT_TRUE(frames->advance());
      }
    }
    ASSERT_EQ(out.size(), c.released);
    for (size_t k = 0; k < out.size(); ++k) {
      ASSERT_NEAR(out[k], recording.samples[k + 640] / 32768.0, 2e-6) << k;
    }
  }
}

}  // namespace
}  // namespace wd
