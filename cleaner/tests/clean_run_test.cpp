// The cleaning run driven through its callbacks, where the tests need to act at an
// exact frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "cells.h"
#include "lib_test_files.h"
#include "run.h"

namespace wd {
namespace {

using testing::fixture;
using testing::read_pcm;
using testing::TempDir;
using testing::test_signal;
using testing::write_pcm;

struct Recorded {
  Status<CleanError> outcome = Ok{};
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  uint64_t cancel_checks = 0;
};

// Runs with callbacks that record every call; after_progress sees each progress
// call and may ask for cancellation by returning true.
template <typename AfterProgress>
Recorded run_recorded(const std::string& model, const std::string& input, const std::string& output,
                      AfterProgress after_progress) {
  Recorded recorded;
  bool cancel = false;
  RunCallbacks callbacks;
  callbacks.progress = [&](uint64_t done, uint64_t total) {
    recorded.progress.emplace_back(done, total);
    cancel = after_progress(done) || cancel;
  };
  callbacks.cancel = [&] {
    ++recorded.cancel_checks;
    return cancel;
  };
  recorded.outcome = run(model, input, output, callbacks);
  return recorded;
}

Recorded run_recorded(const std::string& model, const std::string& input,
                      const std::string& output) {
  return run_recorded(model, input, output, [](uint64_t) { return false; });
}

TEST(CleaningRun, ReportsProgressOncePerFrameAndChecksCancelBeforeEach) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(1600));
  const Recorded recorded = run_recorded(fixture("delay"), dir.file("in.raw"), dir.file("out.raw"));
  ASSERT_TRUE(recorded.outcome.ok()) << recorded.outcome.error().message;
  ASSERT_EQ(recorded.progress.size(), 11u);
  for (uint64_t t = 0; t < 11; ++t)
    EXPECT_EQ(recorded.progress[t], std::make_pair(t + 1, uint64_t{11}));
  EXPECT_EQ(recorded.cancel_checks, 11u);
}

TEST(CleaningRun, ShortRecordingsAskNothing) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(1599));
  const Recorded recorded = run_recorded(fixture("delay"), dir.file("in.raw"), dir.file("out.raw"));
  ASSERT_TRUE(recorded.outcome.ok());
  EXPECT_TRUE(recorded.progress.empty());
  EXPECT_EQ(recorded.cancel_checks, 0u);
}

TEST(CleaningRun, StopsAtTheNextFrameWhenCancelledAndKeepsWhatWasWritten) {
  struct Case {
    uint64_t cancelled_during_frame;
    size_t samples_left;
  };
  // Frames 0 to 4 release nothing; every later frame releases one hop of 160.
  for (const Case c : {Case{0, 0}, Case{3, 0}, Case{5, 160}, Case{20, (21 - 5) * 160}}) {
    SCOPED_TRACE(c.cancelled_during_frame);
    TempDir dir;
    write_pcm(dir.file("in.raw"), test_signal(16000));
    const Recorded recorded =
        run_recorded(fixture("delay"), dir.file("in.raw"), dir.file("out.raw"),
                     [&](uint64_t done) { return done == c.cancelled_during_frame + 1; });
    ASSERT_FALSE(recorded.outcome.ok());
    EXPECT_EQ(recorded.outcome.error().kind, ErrorKind::Cancelled);
    EXPECT_EQ(recorded.progress.size(), c.cancelled_during_frame + 1);
    EXPECT_EQ(recorded.cancel_checks, c.cancelled_during_frame + 2);
    EXPECT_EQ(read_pcm(dir.file("out.raw")).size(), c.samples_left);
  }
}

TEST(CleaningRun, InputShortenedWhileReadingEndsItWithWhatWasWritten) {
  TempDir dir;
  const std::string input = dir.file("in.raw");
  write_pcm(input, test_signal(40000));
  // The second block of the input, samples 16000 on, is first needed when frame
  // 99 advances; frames 5 to 99 have released their hops by then.
  const Recorded recorded =
      run_recorded(fixture("delay"), input, dir.file("out.raw"), [&](uint64_t done) {
        if (done == 1) {
          EXPECT_EQ(truncate(input.c_str(), 2 * 16000), 0);
        }
        return false;
      });
  ASSERT_FALSE(recorded.outcome.ok());
  EXPECT_EQ(recorded.outcome.error().kind, ErrorKind::Input);
  EXPECT_EQ(recorded.outcome.error().message, "failed to fill whole buffer");
  EXPECT_EQ(recorded.progress.size(), 99u);
  EXPECT_EQ(read_pcm(dir.file("out.raw")).size(), (100u - 5) * 160);
}

TEST(CellCallbacks, StoreProgressInTenThousandthsAndReadTheCancelCell) {
  int32_t progress = -1;
  int32_t cancel = 0;
  const RunCallbacks callbacks = cell_callbacks(&progress, &cancel);
  const std::vector<int32_t> expected = {909,  1818, 2727, 3636, 4545, 5454,
                                         6363, 7272, 8181, 9090, 10000};
  for (uint64_t done = 1; done <= 11; ++done) {
    callbacks.progress(done, 11);
    EXPECT_EQ(progress, expected[done - 1]);
  }
  // Computed in 64 bits: no overflow for long runs.
  callbacks.progress(600000, 600001);
  EXPECT_EQ(progress, 9999);
  EXPECT_FALSE(callbacks.cancel());
  cancel = -7;
  EXPECT_TRUE(callbacks.cancel());

  const RunCallbacks without_cells = cell_callbacks(nullptr, nullptr);
  without_cells.progress(1, 2);
  EXPECT_FALSE(without_cells.cancel());
}

}  // namespace
}  // namespace wd
