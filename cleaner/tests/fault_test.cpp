// Faults of the system around a run: a full device, missing rights, an input cut
// short under the run, model paths that are not files. Each ends with its own
// result code and text, and nothing on disk but the asked-for output changes.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cleaner.h"
#include "lib_test_files.h"
#include "run.h"

namespace {

using wd::testing::fixture;
using wd::testing::read_bytes;
using wd::testing::TempDir;
using wd::testing::test_signal;
using wd::testing::write_pcm;

struct Outcome {
  int code;
  std::string message;
};

Outcome clean(const std::string& model, const std::string& input, const std::string& output) {
  char message[256] = {};
  const int code = wd_clean(model.c_str(), input.c_str(), output.c_str(), nullptr, nullptr, message,
                            sizeof message);
  return {code, message};
}

// Every entry of a directory with its content, to show that a run changed nothing.
std::map<std::string, std::vector<uint8_t>> snapshot(const std::string& directory) {
  std::map<std::string, std::vector<uint8_t>> entries;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    entries[entry.path().filename().string()] =
        entry.is_regular_file() ? read_bytes(entry.path().string()) : std::vector<uint8_t>{};
  }
  return entries;
}

// The system's text for an error number, in the library's form.
std::string os_text(int number) {
  return std::string(std::strerror(number)) + " (os error " + std::to_string(number) + ")";
}

TEST(FaultFullDevice, FailsAtTheFinalFlushOrAtAWrite) {
  // 1000 samples fit the writer's buffer and fail at the flush; 20000 samples
  // overflow it and fail at a write during the frames.
  for (const size_t samples : {size_t{1000}, size_t{20000}}) {
    SCOPED_TRACE(samples);
    TempDir dir;
    write_pcm(dir.file("in.raw"), test_signal(samples));
    const auto before = snapshot(dir.file(""));
    const Outcome outcome = clean(fixture("passthrough"), dir.file("in.raw"), "/dev/full");
    EXPECT_EQ(outcome.code, WD_OUTPUT);
    EXPECT_EQ(outcome.message, "output: No space left on device (os error 28)");
    EXPECT_EQ(snapshot(dir.file("")), before);
  }
}

// Runs f in a child process that has dropped to the unprivileged user nobody when
// this process is root (whose rights ignore permission bits); returns f's outcome,
// or nothing when the rights cannot be dropped.
template <typename F>
std::optional<Outcome> without_rights(F f) {
  if (geteuid() != 0) return f();
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
    const Outcome outcome = f();
    const std::string text = std::to_string(outcome.code) + " " + outcome.message;
    const bool sent = write(pipe_fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(sent ? 0 : 101);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[256];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.size() < 2) return std::nullopt;
  return Outcome{std::stoi(text.substr(0, text.find(' '))), text.substr(text.find(' ') + 1)};
}

// A directory that the unprivileged child can enter, holding a readable model and
// input.
struct SharedFiles {
  TempDir dir;
  std::string model = dir.file("model.onnx");
  std::string input = dir.file("in.raw");

  SharedFiles() {
    chmod(dir.file("").c_str(), 0755);
    std::filesystem::copy_file(fixture("passthrough"), model);
    write_pcm(input, test_signal(4000));
    chmod(model.c_str(), 0644);
    chmod(input.c_str(), 0644);
  }
};

TEST(FaultRights, AnOutputDirectoryWithoutWritePermission) {
  SharedFiles files;
  const std::string locked = files.dir.file("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  const auto before = snapshot(files.dir.file(""));
  const std::optional<Outcome> outcome =
      without_rights([&] { return clean(files.model, files.input, locked + "/out.raw"); });
  if (!outcome) GTEST_SKIP() << "cannot run as the user nobody, so the permission bits do not apply";
  EXPECT_EQ(outcome->code, WD_OUTPUT);
  EXPECT_EQ(outcome->message, "output: " + os_text(EACCES));
  EXPECT_TRUE(std::filesystem::is_empty(locked));
  EXPECT_EQ(snapshot(files.dir.file("")), before);
}

TEST(FaultRights, AnUnreadableModel) {
  SharedFiles files;
  ASSERT_EQ(chmod(files.model.c_str(), 0), 0);
  const auto before = snapshot(files.dir.file(""));
  const std::optional<Outcome> outcome =
      without_rights([&] { return clean(files.model, files.input, files.dir.file("out.raw")); });
  if (!outcome) GTEST_SKIP() << "cannot run as the user nobody, so the permission bits do not apply";
  EXPECT_EQ(outcome->code, WD_MODEL);
  EXPECT_EQ(outcome->message, "model: " + os_text(EACCES));
  EXPECT_EQ(snapshot(files.dir.file("")), before);
}

TEST(FaultModelPath, NotARegularFile) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(4000));
  ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
  // Nobody ever opens the FIFO's other end: the run must neither wait for it nor
  // take its emptiness for a model.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {dir.file("models"), "model: " + os_text(EISDIR)},
      {dir.file("fifo"), "model: not an ONNX model"},
      {dir.file("missing.onnx"), "model: " + os_text(ENOENT)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto before = snapshot(dir.file(""));
    const Outcome outcome = clean(c.path, dir.file("in.raw"), dir.file("out.raw"));
    EXPECT_EQ(outcome.code, WD_MODEL);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(snapshot(dir.file("")), before);
  }
}

TEST(FaultRecordingPath, FifosNeitherBlockNorCountAsRecordings) {
  TempDir dir;
  write_pcm(dir.file("in.raw"), test_signal(4000));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  // An output FIFO without a reader cannot be opened for writing without waiting.
  const Outcome output = clean(fixture("passthrough"), dir.file("in.raw"), dir.file("fifo"));
  EXPECT_EQ(output.code, WD_OUTPUT);
  EXPECT_EQ(output.message, "output: " + os_text(ENXIO));
  // An input FIFO has no size: it is an empty recording.
  const Outcome input = clean(fixture("passthrough"), dir.file("fifo"), dir.file("out.raw"));
  EXPECT_EQ(input.code, WD_OK) << input.message;
  EXPECT_TRUE(read_bytes(dir.file("out.raw")).empty());
}

TEST(FaultShortenedInput, EndsWithAnInputErrorAndKeepsWhatWasWritten) {
  // 64000 samples span four blocks of the input cache; the file is cut to 1000
  // samples after the first frame, so the read of the second block comes up short.
  TempDir dir;
  const std::string input = dir.file("in.raw");
  write_pcm(input, test_signal(64000));
  wd::RunCallbacks callbacks;
  uint64_t frames = 0;
  callbacks.progress = [&](uint64_t, uint64_t) {
    if (frames++ == 0) {
      ASSERT_EQ(truncate(input.c_str(), 2000), 0);
    }
  };
  callbacks.cancel = [] { return false; };
  const auto outcome = wd::run(fixture("passthrough"), input, dir.file("out.raw"), callbacks);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().kind, wd::ErrorKind::Input);
  EXPECT_EQ(outcome.error().message, "failed to fill whole buffer");
  // The cache held samples 0 to 15999: the frames reading them ran, no more.
  EXPECT_GE(frames, 90u);
  EXPECT_LE(frames, 101u);
  // Every frame after the fourth released one hop, all of it written out.
  EXPECT_EQ(read_bytes(dir.file("out.raw")).size(), 2 * 160 * (frames - 4));
  EXPECT_EQ(snapshot(dir.file("")).size(), 2u);
}

}  // namespace
