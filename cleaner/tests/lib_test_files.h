// Files for the cleaning library's tests: a private directory, raw recordings, and
// the fixture models.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace wd::testing {

// A fresh directory, removed with everything in it when dropped.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wd-lib-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> pcm_bytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (const int16_t s : samples) {
    const auto u = static_cast<uint16_t>(s);
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

inline void write_pcm(const std::string& path, const std::vector<int16_t>& samples) {
  write_bytes(path, pcm_bytes(samples));
}

inline std::vector<int16_t> read_pcm(const std::string& path) {
  const std::vector<uint8_t> bytes = read_bytes(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] =
        static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
  }
  return samples;
}

// A speech-like test signal: a few partials with a slow swell, well inside the range.
inline std::vector<int16_t> test_signal(size_t n, uint32_t seed = 1) {
  std::vector<int16_t> samples(n);
  uint32_t state = seed;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    const double t = static_cast<double>(i) / 16000.0;
    const double value =
        6000.0 * std::sin(2 * M_PI * 220.0 * t) +
        3000.0 * std::sin(2 * M_PI * 1375.0 * t + 0.3) * std::sin(2 * M_PI * 3.0 * t) +
        2000.0 * noise;
    samples[i] = static_cast<int16_t>(std::lround(value));
  }
  return samples;
}

inline std::string source_dir() {
  const char* dir = std::getenv("WD_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

inline std::string fixture(const std::string& name) {
  return source_dir() + "/models/fixtures/lib/" + name + ".onnx";
}

}  // namespace wd::testing
