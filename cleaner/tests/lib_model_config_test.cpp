#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <variant>

#include "lib_test_files.h"
#include "model_config.h"

namespace wd {
namespace {

using Metadata = std::map<std::string, std::string>;

Metadata valid_metadata() {
  return {{"model_type", "dpdfnet"},  {"sample_rate", "16000"}, {"n_fft", "320"},
          {"hop_length", "160"},      {"window_length", "320"}, {"window_type", "vorbis"},
          {"normalized", "0"},        {"center", "1"},          {"pad_mode", "reflect"},
          {"freq_bins", "161"},       {"state_size", "6"},      {"erb_norm_init", "1,2,3"},
          {"spec_norm_init", "4,5,6"}};
}

struct MetadataCase {
  const char* name;
  std::map<std::string, std::string> changed;
  std::vector<std::string> removed;
  // The expected state, or the expected message.
  std::variant<std::vector<float>, std::string> expected;
};

TEST(ModelMetadata, IsCheckedInOrderAndDescribesTheStartState) {
  const std::vector<MetadataCase> cases = {
      {"valid", {}, {}, std::vector<float>{1, 2, 3, 4, 5, 6}},
      {"zero padded", {{"state_size", "8"}}, {}, std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0}},
      {"plus sign", {{"state_size", "+7"}}, {}, std::vector<float>{1, 2, 3, 4, 5, 6, 0}},
      {"other keys", {{"comment", "anything"}}, {}, std::vector<float>{1, 2, 3, 4, 5, 6}},
      {"model type", {{"model_type", "dpdfnet2"}}, {}, "model_type is dpdfnet2, not dpdfnet"},
      {"fft", {{"n_fft", "512"}}, {}, "n_fft is 512, not 320"},
      {"first absent", {}, {"n_fft", "hop_length"}, "no n_fft in its metadata"},
      {"trailing space", {{"sample_rate", "16000 "}}, {}, "sample_rate is 16000 , not 16000"},
      {"no numeric reading", {{"sample_rate", "16000.0"}}, {}, "sample_rate is 16000.0, not 16000"},
      {"case", {{"window_type", "Vorbis"}}, {}, "window_type is Vorbis, not vorbis"},
      {"last required",
       {{"freq_bins", "160"}, {"state_size", "x"}},
       {},
       "freq_bins is 160, not 161"},
      {"every required key", {}, {"pad_mode"}, "no pad_mode in its metadata"},
      {"no state size", {}, {"state_size", "erb_norm_init"}, "no state_size in its metadata"},
      {"state size text", {{"state_size", "six"}}, {"erb_norm_init"}, "state_size is not a number"},
      {"too large", {{"state_size", "16777217"}}, {}, "state_size is too large"},
      {"no erb", {}, {"erb_norm_init", "spec_norm_init"}, "no erb_norm_init in its metadata"},
      {"bad erb", {{"erb_norm_init", "1,x"}}, {"spec_norm_init"}, "erb_norm_init has x"},
      {"no spec", {}, {"spec_norm_init"}, "no spec_norm_init in its metadata"},
      {"bad spec", {{"spec_norm_init", "4,,6"}}, {}, "spec_norm_init has "},
      {"too many", {{"state_size", "5"}}, {}, "its start values are longer than its state"},
      {"zero", {{"state_size", "0"}}, {}, "its start values are longer than its state"},
  };
  for (const MetadataCase& c : cases) {
    SCOPED_TRACE(c.name);
    Metadata metadata = valid_metadata();
    for (const auto& [key, value] : c.changed) metadata[key] = value;
    for (const std::string& key : c.removed) metadata.erase(key);
    const auto state = start_state_from_metadata(metadata);
    if (const auto* expected = std::get_if<std::vector<float>>(&c.expected)) {
      ASSERT_TRUE(state.ok()) << state.error().message;
      EXPECT_EQ(*state, *expected);
    } else {
      ASSERT_FALSE(state.ok());
      EXPECT_EQ(state.error().kind, ErrorKind::Model);
      EXPECT_EQ(state.error().message, std::get<std::string>(c.expected));
    }
  }
}

TEST(ModelMetadata, AcceptsTheLargestStateSize) {
  Metadata metadata = valid_metadata();
  metadata["state_size"] = "16777216";
  const auto state = start_state_from_metadata(metadata);
  ASSERT_TRUE(state.ok()) << state.error().message;
  EXPECT_EQ(state->size(), 16777216u);
  EXPECT_EQ((*state)[5], 6.0f);
  EXPECT_EQ(state->back(), 0.0f);
}

TEST(StateSize, IsAnUnsignedDecimalOf64Bits) {
  const std::vector<std::pair<std::string, uint64_t>> numbers = {
      {"0", 0}, {"+12", 12}, {"007", 7}, {"18446744073709551615", UINT64_MAX}};
  for (const auto& [text, value] : numbers) {
    const auto parsed = parse_state_size(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(*parsed, value) << text;
  }
  for (const std::string text : {"12 ", " 12", "-1", "", "+", "-", "0x10", "1.0", "1e3", "++1",
                                 "18446744073709551616", "99999999999999999999"}) {
    const auto parsed = parse_state_size(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(parsed.error().message, "state_size is not a number") << text;
  }
}

TEST(FloatList, ReadsTrimmedPiecesAsNearestSinglePrecisionValues) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<std::string, std::vector<float>>> lists = {
      {"1, 2 ,3", {1, 2, 3}},
      {"1e-3,-INF,inf,Infinity,+infinity", {0.001f, -inf, inf, inf, inf}},
      {"0.1,-.5,2.,+7,1E2", {0.1f, -0.5f, 2.0f, 7.0f, 100.0f}},
      // Ties go to the even neighbour: 2^24 + 1 and 2^24 + 3 lie halfway.
      {"16777217,16777219", {16777216.0f, 16777220.0f}},
      {"3.4028235e38,1e39,-1e39,1e-46,1.4e-45", {3.4028235e38f, inf, -inf, 0.0f, 1.4e-45f}},
      // Unicode white space: tab and new line, no-break space, ideographic space.
      {"\t4\n,\xC2\xA0"
       "5\xE3\x80\x80",
       {4, 5}},
  };
  for (const auto& [text, expected] : lists) {
    const auto values = parse_float_list("erb_norm_init", text);
    ASSERT_TRUE(values.ok()) << text << ": " << values.error().message;
    EXPECT_EQ(*values, expected) << text;
  }

  const auto nan = parse_float_list("spec_norm_init", "NaN,nan,-nan");
  ASSERT_TRUE(nan.ok());
  ASSERT_EQ(nan->size(), 3u);
  for (const float value : *nan) EXPECT_TRUE(std::isnan(value));

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", ""},
      {"1,,2", ""},
      {"1,", ""},
      {" x", " x"},
      {"0x10", "0x10"},
      {"1e", "1e"},
      {".", "."},
      {"1 2", "1 2"},
      {"nan(1)", "nan(1)"},
      {"infin", "infin"},
      {"e5", "e5"},
      {"+-1", "+-1"},
      // A zero-width space is no white space.
      {"1\xE2\x80\x8B", "1\xE2\x80\x8B"},
  };
  for (const auto& [text, piece] : refused) {
    const auto values = parse_float_list("erb_norm_init", text);
    ASSERT_FALSE(values.ok()) << text;
    EXPECT_EQ(values.error().kind, ErrorKind::Model);
    EXPECT_EQ(values.error().message, "erb_norm_init has " + piece) << text;
  }
}

TEST(Window, IsTheVorbisWindow) {
  const Window window = vorbis_window();
  EXPECT_NEAR(window[0], 3.78492e-5f, 1e-10);
  EXPECT_NEAR(window[80], 0.712538f, 1e-6);
  EXPECT_EQ(window[159], 1.0f);
  EXPECT_EQ(window[160], 1.0f);
  for (size_t i = 0; i < 320; ++i) {
    const double exact = std::sin(M_PI / 2 * std::pow(std::sin(M_PI * (i + 0.5) / 320), 2));
    EXPECT_NEAR(window[i], exact, 1e-6) << i;
    EXPECT_NEAR(window[i], window[319 - i], 1e-6) << i;
  }
  for (size_t i = 0; i < 160; ++i) {
    EXPECT_NEAR(window[i] * window[i] + window[i + 160] * window[i + 160], 1.0f, 1e-6) << i;
  }
}

// Each product and quotient of two floats is exact in double precision, so one
// rounding to float gives the single-precision result of that step; the sines are
// the C library's single-precision sine.
TEST(Window, IsComputedStepByStepInSinglePrecision) {
  const double half_pi = 1.57079637050628662109375;
  const Window window = vorbis_window();
  for (size_t i = 0; i < 320; ++i) {
    const auto position = static_cast<float>(static_cast<double>(i) + 0.5);
    const auto t = static_cast<float>(static_cast<float>(position * half_pi) / 160.0);
    const float s = sinf(t);
    const auto u = static_cast<float>(static_cast<float>(half_pi * s) * static_cast<double>(s));
    EXPECT_EQ(window[i], sinf(u)) << i;
  }
}

TEST(LoadModel, ReadsBuildsAndChecksTheModel) {
  const auto loaded = load_model(testing::fixture("passthrough"));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  EXPECT_EQ(loaded->start_state, (std::vector<float>{0, 0}));
  EXPECT_EQ(loaded->window, vorbis_window());
  EXPECT_EQ(loaded->graph.ops.size(), 2u);

  testing::TempDir dir;
  testing::write_bytes(dir.file("garbage.onnx"), {0x0A, 0xFF});
  const std::vector<std::pair<std::string, std::string>> failures = {
      {testing::fixture("wrong_model_type"), "model_type is dpdfnet2, not dpdfnet"},
      {testing::fixture("state_too_large"), "state_size is too large"},
      {dir.file("missing.onnx"), "No such file or directory (os error 2)"},
      {dir.file(""), "Is a directory (os error 21)"},
  };
  for (const auto& [path, message] : failures) {
    const auto failed = load_model(path);
    ASSERT_FALSE(failed.ok()) << path;
    EXPECT_EQ(failed.error().kind, ErrorKind::Model);
    EXPECT_EQ(failed.error().message, message);
  }
  const auto garbage = load_model(dir.file("garbage.onnx"));
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().kind, ErrorKind::Model);
  EXPECT_FALSE(garbage.error().message.empty());
}

// A model handed over through a pipe (a shell's process substitution) arrives
// when its writer gets round to it; loading waits for the end of it.
TEST(LoadModel, WaitsForAModelFromAPipe) {
  const std::vector<uint8_t> bytes = testing::read_bytes(testing::fixture("passthrough"));
  ASSERT_FALSE(bytes.empty());
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t put = write(ends[1], bytes.data() + at, bytes.size() - at);
      if (put <= 0) break;
      at += static_cast<size_t>(put);
    }
    close(ends[1]);
  });
  const auto loaded = load_model("/proc/self/fd/" + std::to_string(ends[0]));
  writer.join();
  close(ends[0]);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  EXPECT_EQ(loaded->start_state, (std::vector<float>{0, 0}));
}

}  // namespace
}  // namespace wd
