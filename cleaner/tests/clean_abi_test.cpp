// The cleaning library through its exported C interface.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cleaner.h"
#include "lib_test_files.h"
#include "model_config.h"

namespace wd {
namespace {

using testing::fixture;
using testing::read_bytes;
using testing::read_pcm;
using testing::TempDir;
using testing::test_signal;
using testing::write_bytes;
using testing::write_pcm;

constexpr char kUnwritten = '#';
constexpr size_t kBufferSize = 256;

struct Outcome {
  int code;
  std::string message;  // empty when the buffer was not touched
  bool touched;
};

Outcome clean(const char* model, const char* input, const char* output, int32_t* progress = nullptr,
              const int32_t* cancel = nullptr) {
  char buffer[kBufferSize];
  std::memset(buffer, kUnwritten, sizeof buffer);
  const int code = wd_clean(model, input, output, progress, cancel, buffer, sizeof buffer);
  const bool touched =
      std::any_of(buffer, buffer + kBufferSize, [](char c) { return c != kUnwritten; });
  return {code, touched ? std::string(buffer) : std::string(), touched};
}

Outcome clean(const std::string& model, const std::string& input, const std::string& output,
              int32_t* progress = nullptr, const int32_t* cancel = nullptr) {
  return clean(model.c_str(), input.c_str(), output.c_str(), progress, cancel);
}

// A stored sample after reading and writing back: s * 32767 / 32768, rounded half
// away from zero (exact for the test signal's range).
int16_t converted(double sample) {
  return static_cast<int16_t>(std::round(sample * 32767.0 / 32768.0));
}

std::vector<int16_t> converted(const std::vector<int16_t>& samples) {
  std::vector<int16_t> out;
  for (const int16_t s : samples) out.push_back(converted(s));
  return out;
}

// The Vorbis window in double precision.
double window(size_t i) {
  return std::sin(M_PI / 2 * std::pow(std::sin(M_PI * (i + 0.5) / 320), 2));
}

TEST(WdAbi, IsOne) { EXPECT_EQ(wd_abi(), 1); }

TEST(WdClean, ConvertsEveryPathBeforeOpeningAnything) {
  TempDir dir;
  const std::string model = fixture("delay");
  const std::string missing_model = dir.file("missing.onnx");
  const std::string input = dir.file("in.raw");
  const std::string output = dir.file("out.raw");
  write_pcm(input, test_signal(2000));
  struct Case {
    const char* name;
    const char* model;
    const char* input;
    const char* output;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"all missing", nullptr, nullptr, nullptr, "a path is missing"},
      {"model missing first", nullptr, "\xFF", output.c_str(), "a path is missing"},
      {"model bad first", "\xFF", nullptr, nullptr, "a path is not UTF-8"},
      {"input", model.c_str(), "\xFF", output.c_str(), "a path is not UTF-8"},
      {"input missing", missing_model.c_str(), nullptr, output.c_str(), "a path is missing"},
      {"output", missing_model.c_str(), input.c_str(), "out\xC3", "a path is not UTF-8"},
      {"output missing", model.c_str(), input.c_str(), nullptr, "a path is missing"},
      {"overlong", "\xC0\xAF", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"overlong three", "\xE0\x80\xAF", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"surrogate", "\xED\xA0\x80", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"lone continuation", "a\x80", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"cut sequence", "\xE2\x82", input.c_str(), output.c_str(), "a path is not UTF-8"},
      {"five bytes", "\xF8\x88\x80\x80\x80", input.c_str(), output.c_str(), "a path is not UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = clean(c.model, c.input, c.output);
    EXPECT_EQ(outcome.code, 5);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_FALSE(std::filesystem::exists(output));
  }

  // Well-formed multi-byte paths pass: the model is looked for, and not found.
  const std::string unicode = dir.file("mod\xC3\xA8le \xE2\x82\xAC \xF0\x9F\x8E\xB5.onnx");
  const Outcome outcome = clean(unicode, input, output);
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.message, "model: No such file or directory (os error 2)");
}

TEST(WdClean, CutsTheMessageToTheBuffer) {
  TempDir dir;
  const std::string model = dir.file("missing.onnx");
  const std::string in = dir.file("in.raw");
  const std::string out = dir.file("out.raw");
  const std::string full = "model: No such file or directory (os error 2)";
  struct Case {
    size_t length;
    std::string written;  // what the buffer holds up to its first unwritten byte
  };
  const std::vector<Case> cases = {
      {0, ""},
      {1, std::string(1, '\0')},
      {10, "model: No" + std::string(1, '\0')},
      {full.size(), full.substr(0, full.size() - 1) + '\0'},
      {full.size() + 1, full + '\0'},
      {200, full + '\0'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<char> buffer(256, kUnwritten);
    EXPECT_EQ(
        wd_clean(model.c_str(), in.c_str(), out.c_str(), nullptr, nullptr, buffer.data(), c.length),
        2);
    const std::string written(buffer.begin(), std::find(buffer.begin(), buffer.end(), kUnwritten));
    EXPECT_EQ(written, c.written);
  }
  EXPECT_EQ(wd_clean(model.c_str(), in.c_str(), out.c_str(), nullptr, nullptr, nullptr, 100), 2);
}

TEST(WdClean, CleansWithADelayingModelToTheInputWithinTheConversion) {
  for (const size_t n : {size_t{1600}, size_t{1759}, size_t{16037}, size_t{48000}}) {
    SCOPED_TRACE(n);
    TempDir dir;
    const std::vector<int16_t> x = test_signal(n, static_cast<uint32_t>(n));
    write_pcm(dir.file("in.raw"), x);
    int32_t progress = -1;
    const Outcome outcome =
        clean(fixture("delay"), dir.file("in.raw"), dir.file("out.raw"), &progress);
    ASSERT_EQ(outcome.code, 0) << outcome.message;
    EXPECT_FALSE(outcome.touched);
    EXPECT_EQ(progress, 10000);

    const std::vector<int16_t> y = read_pcm(dir.file("out.raw"));
    ASSERT_EQ(y.size(), n);
    const size_t cleaned = 160 * (n / 160) - 640;
    for (size_t k = 0; k < cleaned; ++k) ASSERT_NEAR(y[k], converted(x[k]), 1) << k;
    for (size_t k = cleaned; k < n; ++k) ASSERT_EQ(y[k], 0) << k;
  }
}

TEST(WdClean, DiscardsImaginaryPartsAtTheEdgeBins) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(8000));
  ASSERT_EQ(clean(fixture("delay"), dir.file("in.raw"), dir.file("plain.raw")).code, 0);
  ASSERT_EQ(clean(fixture("delay_edge_imaginary"), dir.file("in.raw"), dir.file("edge.raw")).code,
            0);
  EXPECT_EQ(read_bytes(dir.file("edge.raw")), read_bytes(dir.file("plain.raw")));
}

TEST(WdClean, AModelThatChangesNothingAdvancesTheRecordingByFourHops) {
  TempDir dir;
  const std::vector<int16_t> x = test_signal(4000);
  write_pcm(dir.file("in.raw"), x);
  ASSERT_EQ(clean(fixture("passthrough"), dir.file("in.raw"), dir.file("out.raw")).code, 0);
  const std::vector<int16_t> y = read_pcm(dir.file("out.raw"));
  ASSERT_EQ(y.size(), 4000u);
  for (size_t k = 0; k < 4000 - 640; ++k) ASSERT_NEAR(y[k], converted(x[k + 640]), 1) << k;
  for (size_t k = 4000 - 640; k < 4000; ++k) ASSERT_EQ(y[k], 0) << k;
}

// The decaying model scales frame t by 0.9^t, a gain it carries in its state: each
// released sample mixes the gains of the two frames that overlap there.
TEST(WdClean, CarriesTheModelStateFromFrameToFrame) {
  TempDir dir;
  const std::vector<int16_t> x = test_signal(3200);
  write_pcm(dir.file("in.raw"), x);
  ASSERT_EQ(clean(fixture("decay"), dir.file("in.raw"), dir.file("out.raw")).code, 0);
  const std::vector<int16_t> y = read_pcm(dir.file("out.raw"));
  ASSERT_EQ(y.size(), 3200u);
  std::vector<float> gain = {1.0f};
  while (gain.size() < 21) gain.push_back(gain.back() * 0.9f);
  for (size_t k = 0; k < 3200 - 640; ++k) {
    const size_t t = (k + 800) / 160;
    const size_t i = (k + 800) % 160;
    const double early = window(i + 160) * window(i + 160);
    const double late = window(i) * window(i);
    const double mixed = (gain[t - 1] * early + gain[t] * late) / (early + late);
    ASSERT_NEAR(y[k], converted(x[k + 640] * mixed), 1) << k;
  }
}

TEST(WdClean, CopiesShortRecordingsThroughTheConversionOnly) {
  TempDir dir;
  std::vector<int16_t> x = test_signal(1599);
  x[0] = 32767, x[1] = -32768, x[2] = 16384, x[3] = 1;
  write_pcm(dir.file("in.raw"), x);
  int32_t progress = -1;
  const int32_t cancel = 1;
  // The model would fail at its first frame, and cancellation is asked for.
  const Outcome outcome =
      clean(fixture("short_state"), dir.file("in.raw"), dir.file("out.raw"), &progress, &cancel);
  ASSERT_EQ(outcome.code, 0) << outcome.message;
  EXPECT_EQ(progress, -1);
  const std::vector<int16_t> y = read_pcm(dir.file("out.raw"));
  EXPECT_EQ(y, converted(x));
  EXPECT_EQ(y[0], 32766);
  EXPECT_EQ(y[1], -32767);
  EXPECT_EQ(y[2], 16384);
  EXPECT_EQ(y[3], 1);
}

TEST(WdClean, WritesWholeSamplesOnlyAndEmptyForEmpty) {
  TempDir dir;
  struct Case {
    size_t bytes;
    const char* model;
  };
  for (const Case c : {Case{0, "delay"}, Case{3201, "delay"}, Case{301, "short_state"}}) {
    SCOPED_TRACE(c.bytes);
    std::vector<uint8_t> bytes(c.bytes);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    write_bytes(dir.file("in.raw"), bytes);
    write_bytes(dir.file("out.raw"), std::vector<uint8_t>(10000, 1));
    int32_t progress = -1;
    const Outcome outcome =
        clean(fixture(c.model), dir.file("in.raw"), dir.file("out.raw"), &progress);
    ASSERT_EQ(outcome.code, 0) << outcome.message;
    EXPECT_EQ(read_bytes(dir.file("out.raw")).size(), c.bytes / 2 * 2);
    EXPECT_EQ(progress, c.bytes >= 3200 ? 10000 : -1);
  }
}

TEST(WdClean, CancelledBeforeTheFirstFrameLeavesAnEmptyOutput) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(1600));
  write_bytes(dir.file("out.raw"), {1, 2, 3, 4});
  int32_t progress = -1;
  const int32_t cancel = 1;
  // The model would fail at its first step: no step is taken.
  const Outcome outcome =
      clean(fixture("short_state"), dir.file("in.raw"), dir.file("out.raw"), &progress, &cancel);
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(outcome.message, "cancelled");
  EXPECT_EQ(progress, -1);
  ASSERT_TRUE(std::filesystem::exists(dir.file("out.raw")));
  EXPECT_TRUE(read_bytes(dir.file("out.raw")).empty());
}

// Another thread sets the cancel cell once it sees progress; the run stops between
// frames and the output holds whole hops.
TEST(WdClean, CancelledFromAnotherThreadStopsBetweenFrames) {
  TempDir dir;
  const size_t n = 1600000;
  write_pcm(dir.file("in.raw"), test_signal(n));
  int32_t progress = 0;
  int32_t cancel = 0;
  std::atomic<bool> returned = false;
  std::thread canceller([&] {
    while (std::atomic_ref<int32_t>(progress).load() == 0 && !returned) std::this_thread::yield();
    std::atomic_ref<int32_t>(cancel).store(1);
  });
  const Outcome outcome =
      clean(fixture("delay"), dir.file("in.raw"), dir.file("out.raw"), &progress, &cancel);
  returned = true;
  canceller.join();
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(outcome.message, "cancelled");
  EXPECT_LT(progress, 10000);
  const size_t written = read_bytes(dir.file("out.raw")).size();
  EXPECT_LT(written, 2 * n);
  EXPECT_EQ(written % 320, 0u);
}

TEST(WdClean, RunsWithoutCells) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(5000));
  EXPECT_EQ(wd_clean(fixture("delay").c_str(), dir.file("in.raw").c_str(),
                     dir.file("out.raw").c_str(), nullptr, nullptr, nullptr, 0),
            0);
  EXPECT_EQ(read_pcm(dir.file("out.raw")).size(), 5000u);
}

TEST(WdClean, ReportsEachKindOfFailureAndLeavesTheOutputAsFarAsItGot) {
  TempDir dir;
  const std::string in = dir.file("in.raw");
  const std::string out = dir.file("out.raw");
  write_pcm(in, test_signal(1600));
  std::filesystem::create_directory(dir.file("folder"));
  const std::vector<uint8_t> earlier = {9, 8, 7, 6};
  enum class Left { Untouched, Empty, Absent };
  struct Case {
    const char* name;
    std::string model;
    std::string input;
    std::string output;
    int code;
    std::string message;
    Left left;
  };
  const std::vector<Case> cases = {
      {"no model file", dir.file("missing.onnx"), in, out, 2,
       "model: No such file or directory (os error 2)", Left::Untouched},
      {"model metadata", fixture("wrong_model_type"), in, out, 2,
       "model: model_type is dpdfnet2, not dpdfnet", Left::Untouched},
      {"model state too large", fixture("state_too_large"), in, out, 2,
       "model: state_size is too large", Left::Untouched},
      {"no input file", fixture("delay"), dir.file("missing.raw"), out, 3,
       "input: No such file or directory (os error 2)", Left::Untouched},
      {"input unreadable", fixture("delay"), dir.file("folder"), out, 3,
       "input: Is a directory (os error 21)", Left::Empty},
      {"output folder missing", fixture("delay"), in, dir.file("none/out.raw"), 4,
       "output: No such file or directory (os error 2)", Left::Absent},
      {"output full", fixture("delay"), in, "/dev/full", 4,
       "output: No space left on device (os error 28)", Left::Untouched},
      {"model step", fixture("short_state"), in, out, 5, "the model's outputs have the wrong size",
       Left::Empty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(out, earlier);
    const Outcome outcome = clean(c.model, c.input, c.output);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.message, c.message);
    switch (c.left) {
      case Left::Untouched:
        EXPECT_EQ(read_bytes(out), earlier);
        break;
      case Left::Empty:
        EXPECT_TRUE(read_bytes(out).empty());
        break;
      case Left::Absent:
        EXPECT_FALSE(std::filesystem::exists(c.output));
        break;
    }
  }
}

TEST(WdClean, RefusesAnOutputThatIsTheInput) {
  TempDir dir;
  const std::string in = dir.file("in.raw");
  const std::vector<int16_t> x = test_signal(2000);
  write_pcm(in, x);
  std::filesystem::create_symlink(in, dir.file("symbolic.raw"));
  std::filesystem::create_hard_link(in, dir.file("hard.raw"));
  for (const std::string& output :
       {in, dir.file("./in.raw"), dir.file("symbolic.raw"), dir.file("hard.raw")}) {
    SCOPED_TRACE(output);
    const Outcome outcome = clean(fixture("delay"), in, output);
    EXPECT_EQ(outcome.code, 4);
    EXPECT_EQ(outcome.message, "output: the output would overwrite the input");
    EXPECT_EQ(read_pcm(in), x);
  }
}

TEST(WdClean, RunsOnTwoThreadsAtOnceAsOneAfterTheOther) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(48000));
  ASSERT_EQ(clean(fixture("decay"), dir.file("in.raw"), dir.file("alone.raw")).code, 0);
  Outcome first{}, second{};
  std::thread one(
      [&] { first = clean(fixture("decay"), dir.file("in.raw"), dir.file("one.raw")); });
  std::thread two(
      [&] { second = clean(fixture("decay"), dir.file("in.raw"), dir.file("two.raw")); });
  one.join();
  two.join();
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(second.code, 0);
  const std::vector<uint8_t> alone = read_bytes(dir.file("alone.raw"));
  EXPECT_EQ(alone.size(), 96000u);
  EXPECT_EQ(read_bytes(dir.file("one.raw")), alone);
  EXPECT_EQ(read_bytes(dir.file("two.raw")), alone);
}

// The address and thread sanitizers reserve more address space than any such
// limit allows.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs with the address space limited to what the process uses plus 100 MiB, and
// exits with the result code after printing the message.
[[noreturn]] void clean_with_bounded_memory(const std::string& model, const std::string& in,
                                            const std::string& out) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (100u << 20);
  const rlimit bounded = {limit, limit};
  setrlimit(RLIMIT_AS, &bounded);
  char message[64] = {};
  const int code =
      wd_clean(model.c_str(), in.c_str(), out.c_str(), nullptr, nullptr, message, sizeof message);
  std::fprintf(stderr, "%s\n", message);
  std::_Exit(code);
}

// The model loads within the limit but the run cannot copy its 64 MiB start state:
// the failure surfaces as code 5, after the output was created.
TEST(WdCleanDeathTest, ContainsRunningOutOfMemory) {
  // Forked, so that the child sees this test's files; no thread runs yet.
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(1600));
  const std::string out = dir.file("out.raw");
  EXPECT_EXIT(clean_with_bounded_memory(fixture("state_largest"), dir.file("in.raw"), out),
              ::testing::ExitedWithCode(5), "the cleaner stopped unexpectedly");
  EXPECT_TRUE(std::filesystem::exists(out));
}
#endif

}  // namespace
}  // namespace wd
