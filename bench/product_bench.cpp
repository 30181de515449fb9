// Throughput of the matrix product on both of its paths, and of the kernels built on
// it, at the sizes the models use. Each benchmark reports GFLOP/s (a multiply-add
// counts as two operations) and the fraction of the core's fused peak.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core_clock.h"
#include "conv.h"
#include "kernels.h"
#include "product.h"

namespace {

// The clock the kernel reports for the first processor, for comparison.
double reported_clock_hz() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("cpu MHz", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return std::stod(line.substr(colon + 1)) * 1e6;
    }
  }
  return 0;
}

double peak_flops = 0;

bool processor_fuses() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

std::vector<float> random_values(uint64_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> pick(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& v : values) v = pick(rng);
  return values;
}

void report(benchmark::State& state, double flops_per_iteration) {
  const double flops = flops_per_iteration * double(state.iterations());
  state.counters["GFLOP/s"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
  state.counters["of_peak"] = benchmark::Counter(flops / peak_flops, benchmark::Counter::kIsRate);
}

// FusedPanels: the fused path with b set out in panels, as loading does for constant
// weights.
enum class Path { Fused, FusedPanels, Portable };

// Restores the automatic choice of path when the benchmark ends.
class ProductPath {
 public:
  ProductPath(benchmark::State& state, Path path) {
    if (path != Path::Portable && !processor_fuses()) state.SkipWithError("no AVX2 and FMA here");
    wd::testing::force_portable_product(path == Path::Portable);
  }
  ~ProductPath() { wd::testing::force_portable_product(false); }
};

// out (m x n) += a (m x k) * b (k x n); arguments m, k, n.
void product(benchmark::State& state, Path path) {
  const uint64_t m = uint64_t(state.range(0));
  const uint64_t k = uint64_t(state.range(1));
  const uint64_t n = uint64_t(state.range(2));
  const ProductPath chosen(state, path);
  const std::vector<float> a = random_values(m * k, 1);
  const std::vector<float> b = random_values(k * n, 2);
  std::vector<float> out(m * n, 0.0f);
  const auto panels = path == Path::FusedPanels ? wd::RowPanels::arrange(b, k, n) : nullptr;
  for (auto _ : state) {
    wd::accumulate_product(a, b, m, k, n, out, panels.get());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  report(state, 2.0 * double(m) * double(k) * double(n));
}

void product_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"m", "k", "n"});
  b->Args({1, 256, 768});
  b->Args({1, 512, 1536});
  b->Args({64, 64, 40});
  b->Args({64, 576, 40});
}

BENCHMARK_CAPTURE(product, fused, Path::Fused)->Apply(product_args);
BENCHMARK_CAPTURE(product, fused_panels, Path::FusedPanels)
    ->ArgNames({"m", "k", "n"})
    ->Args({1, 256, 768})
    ->Args({1, 512, 1536});
BENCHMARK_CAPTURE(product, portable, Path::Portable)->Apply(product_args);

wd::Tensor tensor(wd::Shape shape, uint32_t seed) {
  const uint64_t count = wd::element_count(shape);
  return wd::Tensor::floats(std::move(shape), random_values(count, seed));
}

// Runs Conv's general path at a number of lanes (0: the processor's widest) while it
// lives.
class ConvLanes {
 public:
  ConvLanes(benchmark::State& state, uint64_t lanes) {
    if (!wd::testing::force_conv_lanes(lanes)) state.SkipWithError("no such width here");
  }
  ~ConvLanes() { wd::testing::force_conv_lanes(0); }
};

// Conv over a frame with two past frames: input [1, C, 3, W], filters [M, C, kH, kW],
// width padded by one on each side; the general path at `lanes` lanes.
void conv(benchmark::State& state, int64_t kernel, int64_t stride, uint64_t lanes) {
  const ConvLanes width(state, lanes);
  const uint64_t c = uint64_t(state.range(0));
  const uint64_t m = uint64_t(state.range(1));
  const uint64_t w = uint64_t(state.range(2));
  const uint64_t k = uint64_t(kernel);
  const wd::Tensor x = tensor({1, c, 3, w}, 3);
  const wd::Tensor f = tensor({m, c, k, k}, 4);
  const wd::Tensor bias = tensor({m}, 5);
  const wd::Tensor* inputs[] = {&x, &f, &bias};
  const int64_t pad = kernel / 2;
  const wd::op::Conv params{1, {1, stride}, {1, 1}, {0, pad, 0, pad}};
  uint64_t taps = 0;
  for (auto _ : state) {
    wd::Result<wd::Outputs> out = wd::conv_kernel(params, inputs);
    if (!out.ok()) {
      state.SkipWithError(out.error().message.c_str());
      return;
    }
    taps = wd::element_count((*out)[0].shape) * c * k * k;
    benchmark::DoNotOptimize(out);
  }
  report(state, 2.0 * double(taps));
}

BENCHMARK_CAPTURE(conv, 3x3_stride_1x1, 3, 1, 0)->ArgNames({"C", "M", "W"})->Args({2, 32, 161});
BENCHMARK_CAPTURE(conv, 3x3_stride_1x2, 3, 2, 0)->ArgNames({"C", "M", "W"})->Args({32, 32, 161});
BENCHMARK_CAPTURE(conv, 3x3_stride_1x2_8_lanes, 3, 2, 8)
    ->ArgNames({"C", "M", "W"})
    ->Args({32, 32, 161});
BENCHMARK_CAPTURE(conv, 3x3_stride_1x2_4_lanes, 3, 2, 4)
    ->ArgNames({"C", "M", "W"})
    ->Args({32, 32, 161});
BENCHMARK_CAPTURE(conv, 1x1, 1, 1, 0)->ArgNames({"C", "M", "W"})->Args({32, 16, 81});

// One GRU evaluation: T steps of a batch of one, weights transposed at load time,
// with bias and start state; arguments T, input size, hidden size, directions.
void gru(benchmark::State& state) {
  const uint64_t t = uint64_t(state.range(0));
  const uint64_t i = uint64_t(state.range(1));
  const uint64_t h = uint64_t(state.range(2));
  const uint64_t d = uint64_t(state.range(3));
  const wd::Tensor x = tensor({t, 1, i}, 6);
  const wd::Tensor w = tensor({d, i, 3 * h}, 7);
  const wd::Tensor r = tensor({d, h, 3 * h}, 8);
  const wd::Tensor b = tensor({d, 6 * h}, 9);
  const wd::Tensor h0 = tensor({d, 1, h}, 10);
  const wd::Tensor* inputs[] = {&x, &w, &r, &b, nullptr, &h0};
  const wd::op::Gru params{d == 2 ? wd::GruDirection::Bidirectional : wd::GruDirection::Forward,
                           int64_t(h), true};
  for (auto _ : state) {
    wd::Result<wd::Outputs> out = wd::gru_kernel(params, inputs);
    if (!out.ok()) {
      state.SkipWithError(out.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(out);
  }
  report(state, 2.0 * double(d * t) * double(i + h) * double(3 * h));
}

BENCHMARK(gru)->ArgNames({"T", "I", "H", "D"})->Args({1, 256, 256, 1})->Args({81, 16, 32, 2});

}  // namespace

int main(int argc, char** argv) {
  const double clock = bench::measured_clock_hz();
  peak_flops = clock * bench::kFlopsPerCycle;
  char text[160];
  std::snprintf(text, sizeof text,
                "%.0f GFLOP/s at %.2f GHz (dependent add chain; /proc/cpuinfo says %.2f GHz)",
                peak_flops / 1e9, clock / 1e9, reported_clock_hz() / 1e9);
  benchmark::AddCustomContext("fused_peak", text);
  std::printf("Fused peak of one core: %s\n", text);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
