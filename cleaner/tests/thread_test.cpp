// Runs on several threads: concurrent calls share nothing, and the caller's cells
// may be watched and set from another thread while a run uses them. Built with
// ThreadSanitizer in CI, where a data race fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "cleaner.h"
#include "lib_test_files.h"

namespace {

using wd::testing::read_bytes;
using wd::testing::source_dir;
using wd::testing::TempDir;
using wd::testing::test_signal;
using wd::testing::write_pcm;

std::string default_model() { return source_dir() + "/models/default/denoise.onnx"; }

int clean(const std::string& input, const std::string& output, int32_t* progress = nullptr,
          const int32_t* cancel = nullptr, std::string* message = nullptr) {
  char text[256] = {};
  const int code = wd_clean(default_model().c_str(), input.c_str(), output.c_str(), progress, cancel,
                            text, sizeof text);
  if (message != nullptr) *message = text;
  return code;
}

TEST(CleanOnThreads, ConcurrentRunsGiveTheirSequentialOutputs) {
  // Two different recordings, so that anything one run left in shared state would
  // show in the other's output.
  TempDir dir;
  constexpr int kRuns = 2;
  std::vector<std::string> inputs, alone, together;
  for (int i = 0; i < kRuns; ++i) {
    inputs.push_back(dir.file("in" + std::to_string(i) + ".raw"));
    alone.push_back(dir.file("alone" + std::to_string(i) + ".raw"));
    together.push_back(dir.file("together" + std::to_string(i) + ".raw"));
    write_pcm(inputs[i], test_signal(24000, 7 + i));
    ASSERT_EQ(clean(inputs[i], alone[i]), WD_OK);
  }
  std::latch start(kRuns);
  std::vector<int> codes(kRuns, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      codes[i] = clean(inputs[i], together[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(codes[i], WD_OK);
    EXPECT_EQ(read_bytes(together[i]), read_bytes(alone[i])) << "run " << i;
  }
}

TEST(CleanOnThreads, AWatcherThreadSeesProgressAndCancels) {
  // 160000 samples: 1001 frames. The watcher cancels once a third is done, which
  // leaves it hundreds of frames to be seen in time.
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(160000));
  constexpr uint64_t kFrames = 1001;
  int32_t progress = 0;
  int32_t cancel = 0;
  std::atomic<bool> finished = false;
  std::vector<int32_t> seen;
  std::thread watcher([&] {
    std::atomic_ref<int32_t> progress_cell(progress);
    while (!finished.load()) {
      const int32_t now = progress_cell.load();
      if (seen.empty() || seen.back() != now) seen.push_back(now);
      if (now >= 3333) std::atomic_ref<int32_t>(cancel).store(1);
      std::this_thread::yield();
    }
  });
  std::string message;
  const int code = clean(dir.file("in.raw"), dir.file("out.raw"), &progress, &cancel, &message);
  finished = true;
  watcher.join();

  EXPECT_EQ(code, WD_CANCELLED);
  EXPECT_EQ(message, "cancelled");
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(progress, 3333);
  EXPECT_LT(progress, 10000);
  // The last progress value tells how many frames ran: done * 10000 / 1001,
  // truncated, is different for every done. The first five frames release nothing.
  uint64_t done = 0;
  while (done * 10000 / kFrames != static_cast<uint64_t>(progress)) ASSERT_LE(++done, kFrames);
  EXPECT_EQ(read_bytes(dir.file("out.raw")).size(), 2 * 160 * (done - 5));
}

}  // namespace
