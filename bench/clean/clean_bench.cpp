// Cleaning speed and memory: microseconds per frame, real-time factor and peak resident
// memory of whole wd_clean runs, for each model on a 60 s and a 600 s recording. Each
// run happens in a child process of its own so that its peak memory is its alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cleaner.h"

namespace {

constexpr int kRate = 16000;
constexpr int kHop = 160;

struct Measurement {
  double seconds = 0;
  long peak_kib = 0;
  int code = -1;
};

// Speech-like test signal: a gliding harmonic tone in white noise.
void write_recording(const std::string& path, int seconds) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::mt19937 random(42);
  std::normal_distribution<float> noise(0.0f, 1500.0f);
  std::vector<int16_t> block(kRate);
  double phase = 0;
  for (int s = 0; s < seconds; ++s) {
    for (int i = 0; i < kRate; ++i) {
      const double frequency = 150.0 + 50.0 * std::sin(2 * M_PI * (s * kRate + i) / (3.0 * kRate));
      phase += 2 * M_PI * frequency / kRate;
      const double voice = 4000.0 * (std::sin(phase) + 0.5 * std::sin(2 * phase));
      block[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(voice + noise(random)));
    }
    std::fwrite(block.data(), sizeof(int16_t), block.size(), file);
  }
  std::fclose(file);
}

Measurement measure(const std::string& model, const std::string& input, const std::string& output) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) std::exit(1);
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    char message[256] = {};
    const auto start = std::chrono::steady_clock::now();
    const int code = wd_clean(model.c_str(), input.c_str(), output.c_str(), nullptr, nullptr,
                              message, sizeof message);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code != 0) std::fprintf(stderr, "wd_clean: %s\n", message);
    const Measurement result{seconds, 0, code};
    if (write(pipe_fds[1], &result, sizeof result) != sizeof result) _exit(1);
    _exit(0);
  }
  close(pipe_fds[1]);
  Measurement result;
  if (read(pipe_fds[0], &result, sizeof result) != sizeof result) result.code = -1;
  close(pipe_fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  result.peak_kib = usage.ru_maxrss;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: clean_bench NAME=MODEL.onnx...\n");
    return 64;
  }
  const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  const std::string output = dir + "/clean_bench_output.raw";
  std::printf("%-10s %9s %8s %12s %10s %14s\n", "model", "recording", "frames", "us/frame",
              "RT factor", "peak RSS MiB");
  for (const int seconds : {60, 600}) {
    const std::string input = dir + "/clean_bench_" + std::to_string(seconds) + "s.raw";
    write_recording(input, seconds);
    const long frames = static_cast<long>(seconds) * kRate / kHop + 1;
    for (int i = 1; i < argc; ++i) {
      const std::string spec = argv[i];
      const auto equals = spec.find('=');
      const std::string name = equals == std::string::npos ? spec : spec.substr(0, equals);
      const std::string model = equals == std::string::npos ? spec : spec.substr(equals + 1);
      const Measurement m = measure(model, input, output);
      if (m.code != 0) return 1;
      std::printf("%-10s %8ds %8ld %12.1f %10.4f %14.1f\n", name.c_str(), seconds, frames,
                  m.seconds * 1e6 / static_cast<double>(frames), m.seconds / seconds,
                  m.peak_kib / 1024.0);
    }
    std::remove(input.c_str());
  }
  std::remove(output.c_str());
  return 0;
}
