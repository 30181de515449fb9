#include "pcm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "os_error.h"

namespace wd {
namespace {

CleanError input_error(OsError error) { return CleanError::input(os_error_text(error.number)); }
CleanError output_error(OsError error) { return CleanError::output(os_error_text(error.number)); }

// Exactly 2^-15, so every stored value maps to a float without rounding.
constexpr float kSampleScale = 1.0f / 32768.0f;

}  // namespace

PcmReader::PcmReader(File file, uint64_t sample_count, dev_t device, ino_t inode)
    : file_(std::move(file)),
      buffer_(std::make_unique<uint8_t[]>(kIoBufferBytes)),
      sample_count_(sample_count),
      device_(device),
      inode_(inode) {}

Result<PcmReader, CleanError> open_input(const std::string& path) {
  auto opened = File::open(path, O_RDONLY);
  if (!opened) return input_error(opened.error());
  File file = std::move(opened).value();
  struct stat info {};
  if (::fstat(file.descriptor(), &info) != 0) return input_error(OsError{errno});
  const uint64_t size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  return PcmReader(std::move(file), size / 2, info.st_dev, info.st_ino);
}

bool PcmReader::is_same_file(const std::string& path) const {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  return info.st_dev == device_ && info.st_ino == inode_;
}

Status<CleanError> PcmReader::fill_exactly(uint8_t* data, size_t size) {
  while (size > 0) {
    if (buffer_read_ == buffer_fill_) {
      // A request at least as large as the buffer bypasses it.
      const bool direct = size >= kIoBufferBytes;
      auto got =
          direct ? file_.read_some(data, size) : file_.read_some(buffer_.get(), kIoBufferBytes);
      if (!got) return input_error(got.error());
      if (*got == 0) return CleanError::input("failed to fill whole buffer");
      if (direct) {
        data += *got;
        size -= *got;
        continue;
      }
      buffer_fill_ = *got;
      buffer_read_ = 0;
    }
    const size_t taken = std::min(size, buffer_fill_ - buffer_read_);
    std::memcpy(data, buffer_.get() + buffer_read_, taken);
    buffer_read_ += taken;
    data += taken;
    size -= taken;
  }
  return Ok{};
}

Status<CleanError> PcmReader::read(uint64_t start, std::span<float> out) {
  if (start != position_) {
    if (::lseek(file_.descriptor(), static_cast<off_t>(2 * start), SEEK_SET) < 0) {
      return input_error(OsError{errno});
    }
    buffer_fill_ = 0;
    buffer_read_ = 0;
    position_ = start;
  }
  scratch_.resize(2 * out.size());
  WD_CHECK(fill_exactly(scratch_.data(), scratch_.size()));
  for (size_t i = 0; i < out.size(); ++i) {
    const auto stored =
        static_cast<int16_t>(static_cast<uint16_t>(scratch_[2 * i] | (scratch_[2 * i + 1] << 8)));
    out[i] = static_cast<float>(stored) * kSampleScale;
  }
  position_ = start + out.size();
  return Ok{};
}

PaddedStream::PaddedStream(PcmReader& reader)
    : reader_(&reader), sample_count_(reader.sample_count()), cache_(kCacheSamples) {}

Result<PaddedStream, CleanError> PaddedStream::create(PcmReader& reader) {
  if (reader.sample_count() <= kPadding) internal_fault("a padded stream over too few samples");
  PaddedStream stream(reader);
  WD_CHECK(reader.read(1, stream.head_));
  WD_CHECK(reader.read(stream.sample_count_ - kPadding - 1, stream.tail_));
  return stream;
}

Result<float, CleanError> PaddedStream::next_sample() {
  const uint64_t a = next_++;
  if (a < kPadding) return head_[kPadding - 1 - a];
  const uint64_t j = a - kPadding;
  if (j < sample_count_) {
    if (j < cache_start_ || j >= cache_start_ + cache_length_) {
      cache_length_ = std::min(sample_count_ - j, kCacheSamples);
      cache_start_ = j;
      WD_CHECK(reader_->read(j, std::span(cache_).first(cache_length_)));
    }
    return cache_[j - cache_start_];
  }
  const uint64_t k = j - sample_count_;
  if (k >= kPadding) internal_fault("a padded stream read past its end");
  return tail_[kPadding - 1 - k];
}

PcmWriter::PcmWriter(File file)
    : file_(std::move(file)), buffer_(std::make_unique<uint8_t[]>(kIoBufferBytes)) {}

PcmWriter::~PcmWriter() {
  if (file_.is_open()) static_cast<void>(drain());
}

Result<PcmWriter, CleanError> create_output(const std::string& path) {
  auto created = File::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!created) return output_error(created.error());
  return PcmWriter(std::move(created).value());
}

Status<CleanError> PcmWriter::write_direct(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto put = file_.write_some(bytes.data(), bytes.size());
    if (!put) return output_error(put.error());
    if (*put == 0) return CleanError::output("failed to write whole buffer");
    bytes = bytes.subspan(*put);
  }
  return Ok{};
}

Status<CleanError> PcmWriter::write_all(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return Ok{};
  if (bytes.size() <= kIoBufferBytes - buffer_fill_) {
    std::memcpy(buffer_.get() + buffer_fill_, bytes.data(), bytes.size());
    buffer_fill_ += bytes.size();
    return Ok{};
  }
  WD_CHECK(flush());
  if (bytes.size() >= kIoBufferBytes) return write_direct(bytes);
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  buffer_fill_ = bytes.size();
  return Ok{};
}

Status<OsError> PcmWriter::drain() noexcept {
  size_t written = 0;
  Status<OsError> outcome = Ok{};
  while (written < buffer_fill_) {
    auto put = file_.write_some(buffer_.get() + written, buffer_fill_ - written);
    if (!put || *put == 0) {
      outcome = put ? OsError{0} : put.error();
      break;
    }
    written += *put;
  }
  // What reached the file leaves the buffer even when the rest did not.
  std::memmove(buffer_.get(), buffer_.get() + written, buffer_fill_ - written);
  buffer_fill_ -= written;
  return outcome;
}

Status<CleanError> PcmWriter::flush() {
  const Status<OsError> drained = drain();
  if (drained) return Ok{};
  if (drained.error().number == 0) return CleanError::output("failed to write the buffered data");
  return output_error(drained.error());
}

int16_t encode_sample(float y) {
  if (std::isnan(y)) return 0;
  const float limited = std::clamp(y, -1.0f, 1.0f);
  const float scaled = limited * 32767.0f;
  return static_cast<int16_t>(std::round(scaled));
}

void encode(std::span<const float> samples, std::vector<uint8_t>& bytes) {
  bytes.clear();
  for (const float y : samples) {
    const auto stored = static_cast<uint16_t>(encode_sample(y));
    bytes.push_back(static_cast<uint8_t>(stored & 0xFF));
    bytes.push_back(static_cast<uint8_t>(stored >> 8));
  }
}

}  // namespace wd
