// Cleaning speed and memory: microseconds per frame, real-time factor and peak resident
// memory of whole wd_clean runs, for each model on a 60 s and a 600 s recording. Each
// run happens in a child process of its own so that its peak memory is its alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "child_run.h"

namespace {

constexpr int kRate = 16000;
constexpr int kHop = 160;

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
    bench::write_recording(input, seconds);
    const long frames = static_cast<long>(seconds) * kRate / kHop + 1;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      const auto equals = arg.find('=');
      const std::string name = equals == std::string::npos ? arg : arg.substr(0, equals);
      const std::string model = equals == std::string::npos ? arg : arg.substr(equals + 1);
      const bench::CleanRun m = bench::measure_clean(model, input, output);
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
