// Raw recordings: headerless signed 16-bit little-endian mono PCM.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "clean_error.h"
#include "file.h"
#include "result.h"

namespace wd {

// Both files go through buffers of this size.
inline constexpr size_t kIoBufferBytes = 8192;

// The input recording, read by sample index.
class PcmReader {
 public:
  uint64_t sample_count() const { return sample_count_; }

  // Fills out with recording samples start to start + out.size() - 1, as floats.
  Status<CleanError> read(uint64_t start, std::span<float> out);

  // Whether path names this very file (through any link), so that opening it for
  // writing would destroy the recording.
  bool is_same_file(const std::string& path) const;

 private:
  friend Result<PcmReader, CleanError> open_input(const std::string& path);
  PcmReader(File file, uint64_t sample_count, dev_t device, ino_t inode);

  Status<CleanError> fill_exactly(uint8_t* data, size_t size);

  File file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffer_fill_ = 0;
  size_t buffer_read_ = 0;
  std::vector<uint8_t> scratch_;
  uint64_t sample_count_;
  uint64_t position_ = 0;
  dev_t device_;
  ino_t inode_;
};

Result<PcmReader, CleanError> open_input(const std::string& path);

// The recording with 160 samples of mirror padding at each end (the edge sample
// not repeated), taken one sample at a time from a cache of consecutive samples.
class PaddedStream {
 public:
  static constexpr uint64_t kPadding = 160;
  static constexpr uint64_t kCacheSamples = 16000;

  // Needs at least 161 samples. Reads the head, then the tail.
  static Result<PaddedStream, CleanError> create(PcmReader& reader);

  // The padded sample at the next index. At most sample_count + 320 calls.
  Result<float, CleanError> next_sample();

 private:
  explicit PaddedStream(PcmReader& reader);

  PcmReader* reader_;
  uint64_t sample_count_;
  std::array<float, kPadding> head_{};
  std::array<float, kPadding> tail_{};
  std::vector<float> cache_;
  uint64_t cache_start_ = 0;
  uint64_t cache_length_ = 0;
  uint64_t next_ = 0;
};

// The output recording, written through a buffer. Dropping it writes out what it
// buffers, ignoring errors, and closes the file.
class PcmWriter {
 public:
  PcmWriter(PcmWriter&&) noexcept = default;
  PcmWriter& operator=(PcmWriter&&) = delete;
  ~PcmWriter();

  Status<CleanError> write_all(std::span<const uint8_t> bytes);
  Status<CleanError> flush();

 private:
  friend Result<PcmWriter, CleanError> create_output(const std::string& path);
  explicit PcmWriter(File file);

  Status<CleanError> write_direct(std::span<const uint8_t> bytes);
  // Writes out the buffer without allocating, so that dropping the writer cannot
  // fail. The failure is an error number, or 0 when the file accepted no bytes.
  Status<OsError> drain() noexcept;

  File file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffer_fill_ = 0;
};

// Creates or truncates the file (permission bits 0666 before the umask).
Result<PcmWriter, CleanError> create_output(const std::string& path);

// One sample as stored: limited to [-1, 1], scaled by 32767 and rounded half away
// from zero; NaN becomes 0.
int16_t encode_sample(float y);

// Clears bytes and appends the little-endian encoding of every sample.
void encode(std::span<const float> samples, std::vector<uint8_t>& bytes);

}  // namespace wd
