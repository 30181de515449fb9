// Hand-made hostile models (models/fixtures/hostile/make_hostile_models.py): each
// asks for endless nesting, a length past any file, a tensor beyond the element
// bound or a very long loop. Each ends in a clean refusal with its message, or in a
// complete run, never in a crash, an allocation beyond the bound or a hang.
#include <gtest/gtest.h>

#include <string>

#include "cleaner.h"
#include "lib_test_files.h"

namespace {

using wd::testing::read_bytes;
using wd::testing::source_dir;
using wd::testing::TempDir;
using wd::testing::test_signal;
using wd::testing::write_pcm;

std::string hostile(const std::string& name) {
  return source_dir() + "/models/fixtures/hostile/" + name + ".onnx";
}

TEST(HostileModel, EndsInACleanRefusalOrACompleteRun) {
  const struct {
    const char* model;
    int code;
    const char* message;
  } cases[] = {
      // Unread fields are skipped whole, however deep their nesting.
      {"deep_nesting", WD_MODEL, "model: no Nested operator"},
      {"length_2_63", WD_MODEL, "model: the file ends early"},
      {"length_wrapping", WD_MODEL, "model: the file ends early"},
      // c1 to c25 hold 5 * (2^26 - 2) values, more than 2^28, though c25 alone
      // (5 * 2^25) is within the bound of one tensor.
      {"concat_doubling", WD_MODEL, "model: folding: the constants hold too many values together"},
      {"concat_empty_parts", WD_OK, ""},
      // Blocks of 2^26 values each: four of them reach the bound together.
      {"gemm_fan_out", WD_MODEL, "model: folding: the constants hold too many values together"},
      {"frame_fan_out", WD_OTHER, "the frame's values hold too many values together"},
      {"reshape_huge_empty", WD_MODEL,
       "model: folding: [0, 4611686018427387904, 16] holds too many values"},
      {"reshape_huge", WD_OTHER, "Reshape of [1, 1, 161, 2] to [4294967296, 4294967296]"},
      {"gru_100000_steps", WD_OK, ""},
  };
  TempDir dir;
  // 1600 samples: the shortest recording that goes through the model (11 frames).
  write_pcm(dir.file("in.raw"), test_signal(1600));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    char message[256] = {};
    int32_t progress = 0;
    const int code = wd_clean(hostile(c.model).c_str(), dir.file("in.raw").c_str(),
                              dir.file("out.raw").c_str(), &progress, nullptr, message, sizeof message);
    EXPECT_EQ(code, c.code);
    EXPECT_STREQ(message, c.message);
    if (c.code == WD_OK) {
      EXPECT_EQ(progress, 10000);
      EXPECT_EQ(read_bytes(dir.file("out.raw")).size(), 3200u);
    }
  }
}

}  // namespace
