#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <thread>

#include "lib_test_files.h"
#include "pcm.h"

namespace wd {
namespace {

using testing::read_bytes;
using testing::read_pcm;
using testing::TempDir;
using testing::write_bytes;
using testing::write_pcm;

PcmReader open_or_die(const std::string& path) {
  auto reader = open_input(path);
  if (!reader) ADD_FAILURE() << reader.error().message;
  return std::move(reader).value();
}

std::vector<float> read_or_die(PcmReader& reader, uint64_t start, size_t count) {
  std::vector<float> out(count);
  auto status = reader.read(start, out);
  EXPECT_TRUE(status.ok()) << (status.ok() ? "" : status.error().message);
  return out;
}

// Samples i - 20000 for i = 0 to n - 1: every index is told apart by its value.
std::vector<int16_t> ramp(size_t n) {
  std::vector<int16_t> samples(n);
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(static_cast<int>(i) - 20000);
  return samples;
}

float as_float(int16_t stored) { return static_cast<float>(stored) / 32768.0f; }

TEST(PcmReader, CountsWholeSamplesAndMapsStoredValuesExactly) {
  TempDir dir;
  const std::string path = dir.file("odd.raw");
  std::vector<uint8_t> bytes(3201, 0);
  bytes[0] = 0x00, bytes[1] = 0x80;  // -32768
  bytes[2] = 0x00, bytes[3] = 0x00;  // 0
  bytes[4] = 0xFF, bytes[5] = 0x7F;  // 32767
  bytes[6] = 0x01, bytes[7] = 0x00;  // 1
  bytes[3200] = 0x55;
  write_bytes(path, bytes);

  PcmReader reader = open_or_die(path);
  EXPECT_EQ(reader.sample_count(), 1600u);
  const std::vector<float> all = read_or_die(reader, 0, 1600);
  EXPECT_EQ(all[0], -1.0f);
  EXPECT_EQ(all[1], 0.0f);
  EXPECT_EQ(all[2], 0.999969482421875f);
  EXPECT_EQ(all[3], 1.0f / 32768.0f);
  EXPECT_EQ(all[1599], 0.0f);
}

TEST(PcmReader, OpensAnEmptyFile) {
  TempDir dir;
  write_bytes(dir.file("empty.raw"), {});
  PcmReader reader = open_or_die(dir.file("empty.raw"));
  EXPECT_EQ(reader.sample_count(), 0u);
  EXPECT_TRUE(read_or_die(reader, 0, 0).empty());
}

TEST(PcmReader, ReadsAnyRangeInAnyOrderThroughItsBuffer) {
  TempDir dir;
  const std::vector<int16_t> samples = ramp(20000);
  write_pcm(dir.file("ramp.raw"), samples);
  PcmReader reader = open_or_die(dir.file("ramp.raw"));

  // Consecutive reads of odd sizes straddle buffer boundaries; the large ones
  // bypass the buffer; the later ones seek backwards and forwards.
  const std::vector<std::pair<uint64_t, size_t>> reads = {
      {0, 3}, {3, 3001}, {3004, 5000}, {8004, 1}, {100, 7}, {19990, 10}, {5, 12000}, {0, 20000}};
  for (const auto& [start, count] : reads) {
    const std::vector<float> got = read_or_die(reader, start, count);
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(got[i], as_float(samples[start + i])) << "read at " << start << ", sample " << i;
    }
  }
}

TEST(PcmReader, ReportsOperatingSystemErrors) {
  TempDir dir;
  auto missing = open_input(dir.file("missing.raw"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::Input);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

  // A directory opens, and reading it fails with the system's error.
  PcmReader reader = open_or_die(dir.file(""));
  std::vector<float> out(1);
  auto read = reader.read(0, out);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, ErrorKind::Input);
  EXPECT_EQ(read.error().message, "Is a directory (os error 21)");
}

TEST(PcmReader, FailsWhenTheFileEndsBeforeTheBlock) {
  TempDir dir;
  const std::string path = dir.file("shrinking.raw");
  write_pcm(path, ramp(4000));
  PcmReader reader = open_or_die(path);
  ASSERT_EQ(truncate(path.c_str(), 2 * 1000), 0);
  std::vector<float> out(2000);
  auto read = reader.read(0, out);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, ErrorKind::Input);
  EXPECT_EQ(read.error().message, "failed to fill whole buffer");
}

std::vector<float> stream_all(PaddedStream& stream, uint64_t count) {
  std::vector<float> out;
  for (uint64_t i = 0; i < count; ++i) {
    auto sample = stream.next_sample();
    if (!sample) {
      ADD_FAILURE() << "sample " << i << ": " << sample.error().message;
      break;
    }
    out.push_back(*sample);
  }
  return out;
}

TEST(PaddedStream, MirrorsEachEndWithoutRepeatingTheEdgeSample) {
  for (const size_t n : {size_t{161}, size_t{1600}, size_t{40000}}) {
    SCOPED_TRACE(n);
    TempDir dir;
    const std::vector<int16_t> x = ramp(n);
    write_pcm(dir.file("x.raw"), x);
    PcmReader reader = open_or_die(dir.file("x.raw"));
    auto stream = PaddedStream::create(reader);
    ASSERT_TRUE(stream.ok());
    const std::vector<float> padded = stream_all(*stream, n + 320);
    ASSERT_EQ(padded.size(), n + 320);
    for (size_t a = 0; a < 160; ++a) ASSERT_EQ(padded[a], as_float(x[160 - a])) << a;
    for (size_t j = 0; j < n; ++j) ASSERT_EQ(padded[160 + j], as_float(x[j])) << j;
    for (size_t k = 0; k < 160; ++k) ASSERT_EQ(padded[160 + n + k], as_float(x[n - 2 - k])) << k;
  }
}

// After the head and tail reads the stream reads blocks of 16000 samples from
// sample 0 on. Shortening the file shows where each block starts: the first sample
// that fails is the first of the block that no longer fits.
TEST(PaddedStream, ReadsTheMiddleInBlocksOf16000Samples) {
  struct Case {
    uint64_t kept_samples;
    uint64_t first_failing;
  };
  for (const Case c : {Case{31999, 16000}, Case{32000, 32000}, Case{39999, 32000}}) {
    SCOPED_TRACE(c.kept_samples);
    TempDir dir;
    const std::string path = dir.file("x.raw");
    write_pcm(path, ramp(40000));
    PcmReader reader = open_or_die(path);
    auto stream = PaddedStream::create(reader);
    ASSERT_TRUE(stream.ok());
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(2 * c.kept_samples)), 0);
    uint64_t index = 0;
    for (; index < 40000 + 320; ++index) {
      auto sample = stream->next_sample();
      if (!sample) {
        EXPECT_EQ(sample.error().message, "failed to fill whole buffer");
        break;
      }
    }
    EXPECT_EQ(index, 160 + c.first_failing);
  }
}

// Where the descriptor that this process holds open on path stands in the file.
uint64_t offset_of_open_file(const std::string& path) {
  const std::filesystem::path target = std::filesystem::canonical(path);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(entry.path(), unreadable) != target) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    uint64_t offset = 0;
    info >> key >> offset;
    EXPECT_EQ(key, "pos:");
    return offset;
  }
  ADD_FAILURE() << "no descriptor open on " << path;
  return 0;
}

TEST(PaddedStream, ReadsTheHeadBeforeTheTail) {
  TempDir dir;
  const std::string path = dir.file("x.raw");
  write_pcm(path, ramp(40000));
  PcmReader reader = open_or_die(path);
  auto stream = PaddedStream::create(reader);
  ASSERT_TRUE(stream.ok());
  // The last read was the tail's, samples 39839 to 39998: the file stands past it.
  EXPECT_GE(offset_of_open_file(path), 2u * 39999);

  // Only the head still fits: the tail read is the one that fails.
  PcmReader cut = open_or_die(path);
  ASSERT_EQ(truncate(path.c_str(), 2 * 200), 0);
  auto failed = PaddedStream::create(cut);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "failed to fill whole buffer");
}

TEST(Encoding, LimitsScalesAndRoundsHalfAwayFromZero) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, int16_t>> cases = {
      {1.0f, 32767},      {-1.0f, -32767}, {2.0f, 32767},   {-5.0f, -32767},     {0.5f, 16384},
      {-0.5f, -16384},    {0.0f, 0},       {-0.0f, 0},      {inf, 32767},        {-inf, -32767},
      {std::nanf(""), 0}, {0.25f, 8192},   {-0.25f, -8192}, {1.0f / 32767.0f, 1}};
  for (const auto& [y, expected] : cases) EXPECT_EQ(encode_sample(y), expected) << y;

  std::vector<uint8_t> bytes = {9, 9, 9};
  encode(std::vector<float>{0.5f, -1.0f}, bytes);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x40, 0x01, 0x80}));
}

TEST(Encoding, ReadingAndWritingBackScalesBy32767Over32768) {
  const std::vector<std::pair<int16_t, int16_t>> cases = {
      {32767, 32766}, {-32768, -32767}, {16384, 16384}, {1, 1}, {-1, -1}, {0, 0}};
  for (const auto& [stored, written] : cases) {
    EXPECT_EQ(encode_sample(as_float(stored)), written) << stored;
  }
}

TEST(PcmWriter, WritesSmallAndLargeBlocksInOrder) {
  TempDir dir;
  const std::string path = dir.file("out.raw");
  std::vector<uint8_t> expected;
  {
    auto writer = create_output(path);
    ASSERT_TRUE(writer.ok());
    // Blocks that fit, one that overflows the buffer, one larger than the buffer.
    for (const size_t size : {size_t{320}, size_t{5000}, size_t{4000}, size_t{20000}, size_t{7}}) {
      std::vector<uint8_t> block(size);
      for (size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(expected.size() + i);
      ASSERT_TRUE(writer->write_all(block).ok());
      expected.insert(expected.end(), block.begin(), block.end());
    }
    ASSERT_TRUE(writer->flush().ok());
    EXPECT_EQ(read_bytes(path), expected);
    // What is buffered when the writer is dropped reaches the file.
    ASSERT_TRUE(writer->write_all(std::vector<uint8_t>{1, 2, 3}).ok());
    expected.insert(expected.end(), {1, 2, 3});
  }
  EXPECT_EQ(read_bytes(path), expected);
}

TEST(PcmWriter, CreatesWithPermissionsForEveryoneLessTheUmaskAndTruncates) {
  TempDir dir;
  const std::string path = dir.file("out.raw");
  const mode_t saved = umask(027);
  { ASSERT_TRUE(create_output(path).ok()); }
  umask(saved);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  write_bytes(path, {1, 2, 3, 4});
  { ASSERT_TRUE(create_output(path).ok()); }
  EXPECT_TRUE(read_bytes(path).empty());
}

TEST(PcmWriter, ReportsOperatingSystemErrors) {
  TempDir dir;
  auto nowhere = create_output(dir.file("no/such/dir.raw"));
  ASSERT_FALSE(nowhere.ok());
  EXPECT_EQ(nowhere.error().kind, ErrorKind::Output);
  EXPECT_EQ(nowhere.error().message, "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("no")));

  const std::string full_text = "No space left on device (os error 28)";
  auto full = create_output("/dev/full");
  ASSERT_TRUE(full.ok());
  ASSERT_TRUE(full->write_all(std::vector<uint8_t>(100)).ok());
  auto flushed = full->flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().kind, ErrorKind::Output);
  EXPECT_EQ(flushed.error().message, full_text);

  auto direct = create_output("/dev/full");
  ASSERT_TRUE(direct.ok());
  auto written = direct->write_all(std::vector<uint8_t>(9000));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().message, full_text);
}

// A pipe (a shell's process substitution, say) whose reader falls behind: the
// writer waits for it rather than failing half way.
TEST(PcmWriter, WaitsForTheSlowReaderOfAPipe) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::vector<uint8_t> sent(200000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 13 + i / 256);
  std::vector<uint8_t> received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint8_t chunk[4096];
    for (;;) {
      const ssize_t got = read(ends[0], chunk, sizeof chunk);
      if (got <= 0) break;
      received.insert(received.end(), chunk, chunk + got);
    }
  });
  {
    auto writer = create_output("/proc/self/fd/" + std::to_string(ends[1]));
    close(ends[1]);
    EXPECT_TRUE(writer.ok());
    if (writer.ok()) {
      // Hops through the buffer, then one block larger than the buffer.
      const std::span<const uint8_t> bytes(sent);
      Status<CleanError> written = Ok{};
      for (size_t at = 0; at < 100160 && written.ok(); at += 320) {
        written = writer->write_all(bytes.subspan(at, 320));
      }
      if (written.ok()) written = writer->write_all(bytes.subspan(100160));
      if (written.ok()) written = writer->flush();
      EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().message);
    }
  }
  reader.join();
  close(ends[0]);
  EXPECT_EQ(received, sent);
}

}  // namespace
}  // namespace wd
