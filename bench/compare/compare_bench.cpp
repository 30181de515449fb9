// Side by side on the same models and the same spectra: this engine's model step and a
// general-purpose ONNX runtime (onnxruntime-node on the CPU, one intra-op and one
// inter-op thread, every graph optimisation), frame by frame with each frame's state
// fed back. Both engines first run the opening frames of a real recording and must
// agree on every output before anything is timed. Every run happens in a child process
// of its own, so that its load time and peak memory are its alone.
//
//   compare_bench --node ORT_SIDE.mjs --sample RECORDING.raw NAME=MODEL.onnx...
//   compare_bench --dump OUTPUT MODEL.onnx RECORDING.raw
//     writes "spec_e" and the state after every frame of the recording, for comparing
//     two builds of the engine bit for bit
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "child_run.h"
#include "core_clock.h"
#include "executor.h"
#include "model_config.h"
#include "pcm.h"
#include "spectral.h"

namespace {

constexpr size_t kSpectrumValues = 2 * wd::kBins;
// Frames both engines must agree on before timing.
constexpr uint64_t kCheckFrames = 300;
// A 60 s recording: 6000 hops and the final frame.
constexpr uint64_t kTimedFrames = 6001;
constexpr double kRecordingSeconds = 60.0;
// Largest difference allowed within an output, relative to its largest magnitude.
constexpr double kTolerance = 1e-4;
// The frame after which the resident memory is first read; growth is measured from
// there to the last frame.
constexpr uint64_t kSettledFrame = 300;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "compare_bench: %s\n", message.c_str());
  std::exit(1);
}

// The spectra of a recording as the cleaning run hands them to the model step: 322
// values per frame, the imaginary parts of the edge bins zero.
std::vector<float> recording_spectra(const std::string& path) {
  auto reader = wd::open_input(path);
  if (!reader) die(path + ": " + reader.error().message);
  wd::SpectralFrames frames(wd::vorbis_window());
  auto stream = wd::PaddedStream::create(*reader);
  if (!stream) die(path + ": " + stream.error().message);
  if (!frames.begin_frames(*stream)) die(path + ": cannot read the first frame");
  const uint64_t count = reader->sample_count() / wd::kHop + 1;
  std::vector<float> spectra;
  spectra.reserve(count * kSpectrumValues);
  for (uint64_t t = 0; t < count; ++t) {
    frames.analyse();
    for (const kiss_fft_cpx& bin : frames.spectrum()) {
      spectra.push_back(bin.r);
      spectra.push_back(bin.i);
    }
    spectra[t * kSpectrumValues + 1] = 0.0f;
    spectra[(t + 1) * kSpectrumValues - 1] = 0.0f;
    if (t + 1 < count && !frames.advance(*stream)) die(path + ": cannot read a frame");
  }
  return spectra;
}

std::span<const float> frame(const std::vector<float>& spectra, uint64_t t) {
  const uint64_t frames = spectra.size() / kSpectrumValues;
  return std::span(spectra).subspan((t % frames) * kSpectrumValues, kSpectrumValues);
}

void write_floats(std::ofstream& file, std::span<const float> values) {
  file.write(reinterpret_cast<const char*>(values.data()),
             static_cast<std::streamsize>(values.size_bytes()));
}

std::vector<float> read_floats(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) die("cannot read " + path);
  std::vector<float> values(static_cast<size_t>(file.tellg()) / sizeof(float));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(values.data()),
            static_cast<std::streamsize>(values.size() * sizeof(float)));
  return values;
}

wd::LoadedModel load(const std::string& path) {
  auto model = wd::load_model(path);
  if (!model) die(path + ": " + model.error().message);
  return std::move(*model);
}

// Runs the frames through the model step, handing each frame's outputs to `seen`.
template <typename Seen>
void run_frames(const wd::LoadedModel& model, const std::vector<float>& spectra,
                uint64_t count, Seen&& seen) {
  std::vector<float> state = model.start_state;
  for (uint64_t t = 0; t < count; ++t) {
    auto spectrum = wd::model_step(model.graph, model.start_state.size(), frame(spectra, t), state);
    if (!spectrum) die("frame " + std::to_string(t) + ": " + spectrum.error().message);
    seen(t, *spectrum, state);
  }
}

// The multiply-adds an operation performs, from its inputs and outputs.
uint64_t op_multiply_adds(const wd::OpKind& kind, wd::Inputs inputs, const wd::Outputs& outputs) {
  if (outputs.empty()) return 0;
  const uint64_t produced = wd::element_count(outputs[0].shape);
  if (std::holds_alternative<wd::op::Conv>(kind)) {
    const wd::Shape& filters = inputs[1]->shape;
    return produced * filters[1] * filters[2] * filters[3];
  }
  if (const auto* gemm = std::get_if<wd::op::Gemm>(&kind)) {
    const wd::Shape& a = inputs[0]->shape;
    return produced * (gemm->transA ? a[0] : a[1]);
  }
  if (std::holds_alternative<wd::op::MatMul>(kind)) return produced * inputs[0]->shape.back();
  if (std::holds_alternative<wd::op::Gru>(kind)) {
    // Every hidden value of every step: three gates, each fed by the input and the
    // previous hidden vector.
    const uint64_t features = inputs[0]->shape[2];
    const uint64_t hidden = outputs[0].shape[3];
    return produced * 3 * (features + hidden);
  }
  return 0;
}

// The multiply-adds of one frame, found by evaluating the graph's operations in turn
// the way the model step does.
uint64_t frame_multiply_adds(const wd::LoadedModel& model, std::span<const float> spectrum) {
  const wd::Graph& graph = model.graph;
  std::vector<std::optional<wd::Tensor>> values(graph.slot_count);
  values[graph.inputs[0]] =
      wd::Tensor::floats({1, 1, wd::kBins, 2}, std::vector<float>(spectrum.begin(), spectrum.end()));
  values[graph.inputs[1]] = wd::Tensor::floats({model.start_state.size()}, model.start_state);
  uint64_t total = 0;
  for (const wd::Op& op : graph.ops) {
    std::vector<const wd::Tensor*> inputs;
    for (const wd::OptionalSlot& slot : op.inputs) {
      const wd::Tensor* found = nullptr;
      if (slot && graph.values[*slot]) {
        found = &*graph.values[*slot];
      } else if (slot && values[*slot]) {
        found = &*values[*slot];
      }
      inputs.push_back(found);
    }
    auto outputs = wd::evaluate_op(op.kind, inputs);
    if (!outputs) die(outputs.error().message);
    total += op_multiply_adds(op.kind, inputs, *outputs);
    for (size_t k = 0; k < outputs->size() && k < op.outputs.size(); ++k) {
      if (op.outputs[k]) values[*op.outputs[k]] = std::move((*outputs)[k]);
    }
  }
  return total;
}

long rss_kib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Timing {
  double load_ms = 0;
  long base_rss_kib = 0;  // the process before the engine was loaded
  long settled_rss_kib = 0;
  long end_rss_kib = 0;
  long peak_kib = 0;
  std::vector<double> micros;
};

// "load_ms base_rss settled_rss end_rss", then one line of microseconds per frame.
std::string timing_report(const Timing& timing) {
  std::ostringstream text;
  text << timing.load_ms << ' ' << timing.base_rss_kib << ' ' << timing.settled_rss_kib << ' '
       << timing.end_rss_kib << '\n';
  for (const double m : timing.micros) text << m << '\n';
  return text.str();
}

Timing parse_timing(const bench::ChildRun& run, const std::string& who) {
  if (!run.succeeded) die(who + " failed");
  std::istringstream text(run.report);
  Timing timing;
  text >> timing.load_ms >> timing.base_rss_kib >> timing.settled_rss_kib >> timing.end_rss_kib;
  double m = 0;
  while (text >> m) timing.micros.push_back(m);
  if (timing.micros.size() != kTimedFrames) die(who + " gave an incomplete report");
  timing.peak_kib = run.peak_kib;
  return timing;
}

// This engine: the check frames' outputs to a file, the start state to another (the
// runtime side starts from it), and the multiply-adds of one frame as the report.
uint64_t our_check(const std::string& model_path, const std::vector<float>& spectra,
                   const std::string& state_path, const std::string& outputs_path) {
  const bench::ChildRun run = bench::run_in_child([&](bool& ok) {
    const wd::LoadedModel model = load(model_path);
    std::ofstream state_file(state_path, std::ios::binary);
    write_floats(state_file, model.start_state);
    std::ofstream outputs(outputs_path, std::ios::binary);
    run_frames(model, spectra, kCheckFrames,
               [&](uint64_t, std::span<const float> spectrum, std::span<const float> state) {
                 write_floats(outputs, spectrum);
                 write_floats(outputs, state);
               });
    ok = static_cast<bool>(state_file) && static_cast<bool>(outputs);
    return std::to_string(frame_multiply_adds(model, frame(spectra, 0)));
  });
  if (!run.succeeded) die("this engine's check run failed");
  return std::stoull(run.report);
}

Timing our_timing(const std::string& model_path, const std::vector<float>& spectra) {
  return parse_timing(bench::run_in_child([&](bool& ok) {
                        Timing timing;
                        timing.base_rss_kib = rss_kib();
                        const auto start = std::chrono::steady_clock::now();
                        const wd::LoadedModel model = load(model_path);
                        timing.load_ms = std::chrono::duration<double, std::milli>(
                                             std::chrono::steady_clock::now() - start)
                                             .count();
                        timing.micros.resize(kTimedFrames);
                        std::vector<float> state = model.start_state;
                        for (uint64_t t = 0; t < kTimedFrames; ++t) {
                          const auto begin = std::chrono::steady_clock::now();
                          auto spectrum = wd::model_step(model.graph, model.start_state.size(),
                                                         frame(spectra, t), state);
                          timing.micros[t] = std::chrono::duration<double, std::micro>(
                                                 std::chrono::steady_clock::now() - begin)
                                                 .count();
                          if (!spectrum) die(spectrum.error().message);
                          if (t == kSettledFrame) timing.settled_rss_kib = rss_kib();
                        }
                        timing.end_rss_kib = rss_kib();
                        ok = true;
                        return timing_report(timing);
                      }),
                      "this engine's timing run");
}

struct Agreement {
  double worst = 0;  // largest difference within an output over its largest magnitude
  uint64_t worst_frame = 0;
};

// Both files hold, per frame, the 322 spectrum values and then the state.
Agreement compare_outputs(const std::string& ours_path, const std::string& theirs_path,
                          uint64_t state_length) {
  const std::vector<float> ours = read_floats(ours_path);
  const std::vector<float> theirs = read_floats(theirs_path);
  const uint64_t per_frame = kSpectrumValues + state_length;
  if (ours.size() != kCheckFrames * per_frame || theirs.size() != ours.size()) {
    die("the engines wrote outputs of different sizes");
  }
  Agreement agreement;
  for (uint64_t t = 0; t < kCheckFrames; ++t) {
    const uint64_t at = t * per_frame;
    for (const auto& [begin, length] :
         {std::pair{at, kSpectrumValues}, std::pair{at + kSpectrumValues, state_length}}) {
      double largest = 0, difference = 0;
      for (uint64_t i = begin; i < begin + length; ++i) {
        largest = std::max({largest, double(std::fabs(ours[i])), double(std::fabs(theirs[i]))});
        const double d = std::fabs(double(ours[i]) - double(theirs[i]));
        difference = std::isnan(d) ? INFINITY : std::max(difference, d);
      }
      const double relative = largest > 0 ? difference / largest : difference;
      if (relative > agreement.worst) agreement = {relative, t};
    }
  }
  return agreement;
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(std::ceil(fraction * double(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

double total(const std::vector<double>& values) {
  double sum = 0;
  for (const double v : values) sum += v;
  return sum;
}

void print_row(const std::string& model, const std::string& engine, const Timing& timing,
               std::optional<double> clean_rt) {
  const std::string whole = clean_rt ? std::to_string(*clean_rt).substr(0, 6) : "-";
  std::printf("%-8s %-12s %9.2f %10.1f %10.1f %10.1f %10.4f %10s %10.1f %10ld\n", model.c_str(),
              engine.c_str(), timing.load_ms, percentile(timing.micros, 0.0),
              percentile(timing.micros, 0.5),
              percentile(timing.micros, 0.9), total(timing.micros) * 1e-6 / kRecordingSeconds,
              whole.c_str(), timing.peak_kib / 1024.0, timing.end_rss_kib - timing.settled_rss_kib);
}

int dump(const std::string& output, const std::string& model_path, const std::string& sample) {
  const std::vector<float> spectra = recording_spectra(sample);
  const wd::LoadedModel model = load(model_path);
  std::ofstream file(output, std::ios::binary);
  run_frames(model, spectra, spectra.size() / kSpectrumValues,
             [&](uint64_t, std::span<const float> spectrum, std::span<const float> state) {
               write_floats(file, spectrum);
               write_floats(file, state);
             });
  return file ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "--dump") return dump(args[1], args[2], args[3]);
  if (args.size() < 5 || args[0] != "--node" || args[2] != "--sample") {
    std::fprintf(stderr,
                 "usage: compare_bench --node ORT_SIDE.mjs --sample RECORDING.raw NAME=MODEL...\n"
                 "       compare_bench --dump OUTPUT MODEL RECORDING.raw\n");
    return 64;
  }
  const std::string ort_side = args[1];
  const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  const std::string prefix = dir + "/compare_bench_" + std::to_string(getpid());
  const std::string frames_path = prefix + "_frames.f32";
  const std::string state_path = prefix + "_state.f32";
  const std::string ours_path = prefix + "_ours.f32";
  const std::string theirs_path = prefix + "_theirs.f32";
  const std::string recording = prefix + "_60s.raw";
  const std::string cleaned = prefix + "_cleaned.raw";

  const std::vector<float> spectra = recording_spectra(args[3]);
  if (spectra.size() / kSpectrumValues < kCheckFrames) die("the recording is too short");
  {
    std::ofstream frames(frames_path, std::ios::binary);
    write_floats(frames, spectra);
  }
  bench::write_recording(recording, static_cast<int>(kRecordingSeconds));
  const double clock = bench::measured_clock_hz();

  struct Summary {
    std::string name;
    Timing ours, theirs;
    double clean_rt = 0;
    uint64_t multiply_adds = 0;
  };
  std::vector<Summary> summaries;
  for (size_t i = 4; i < args.size(); ++i) {
    const auto equals = args[i].find('=');
    if (equals == std::string::npos) die("models are given as NAME=MODEL.onnx");
    Summary summary{args[i].substr(0, equals), {}, {}, 0, 0};
    const std::string model = args[i].substr(equals + 1);

    summary.multiply_adds = our_check(model, spectra, state_path, ours_path);
    const uint64_t state_length = read_floats(state_path).size();
    const std::string count = std::to_string(kCheckFrames);
    if (!bench::run_program({"node", ort_side, "check", model, frames_path, state_path, count,
                             theirs_path})
             .succeeded) {
      die("the runtime's check run failed");
    }
    const Agreement agreement = compare_outputs(ours_path, theirs_path, state_length);
    std::printf("%s: the engines agree on %llu frames within %.1e (largest relative difference "
                "%.2e, frame %llu)\n",
                summary.name.c_str(), static_cast<unsigned long long>(kCheckFrames), kTolerance,
                agreement.worst, static_cast<unsigned long long>(agreement.worst_frame));
    if (!(agreement.worst <= kTolerance)) die("the engines disagree; nothing is timed");

    summary.ours = our_timing(model, spectra);
    summary.theirs = parse_timing(
        bench::run_program({"node", ort_side, "time", model, frames_path, state_path,
                            std::to_string(kTimedFrames)}),
        "the runtime's timing run");
    const bench::CleanRun clean = bench::measure_clean(model, recording, cleaned);
    if (clean.code != 0) die("wd_clean failed");
    summary.clean_rt = clean.seconds / kRecordingSeconds;
    summaries.push_back(std::move(summary));
  }
  for (const std::string& path : {frames_path, state_path, ours_path, theirs_path, recording,
                                  cleaned}) {
    std::remove(path.c_str());
  }

  std::printf("\n%llu frames (a 60 s recording) per engine, frame by frame, state fed back\n",
              static_cast<unsigned long long>(kTimedFrames));
  std::printf("%-8s %-12s %9s %10s %10s %10s %10s %10s %10s %10s\n", "model", "engine",
              "load ms", "best us", "median us", "p90 us", "RT frames", "RT clean", "peak MiB",
              "growth KiB");
  for (const Summary& s : summaries) {
    print_row(s.name, "this engine", s.ours, s.clean_rt);
    print_row(s.name, "onnxruntime", s.theirs, std::nullopt);
    std::printf("%-8s %-12s %8.1fx %9.2fx %9.2fx %9.2fx %9.2fx\n", s.name.c_str(),
                "runtime/ours", s.theirs.load_ms / s.ours.load_ms,
                percentile(s.theirs.micros, 0.0) / percentile(s.ours.micros, 0.0),
                percentile(s.theirs.micros, 0.5) / percentile(s.ours.micros, 0.5),
                percentile(s.theirs.micros, 0.9) / percentile(s.ours.micros, 0.9),
                total(s.theirs.micros) / total(s.ours.micros));
  }
  std::printf("\nRT frames: the frames' model time over 60 s; RT clean: a whole wd_clean run of "
              "a 60 s recording over 60 s\n");
  std::printf("best: the fastest frame, the one least disturbed by other processes\n");
  std::printf("growth: resident memory after the last frame less that after frame %llu\n",
              static_cast<unsigned long long>(kSettledFrame));
  if (!summaries.empty()) {
    std::printf("runtime process before loading the runtime: %.1f MiB; this engine's process "
                "before loading the model: %.1f MiB\n",
                summaries[0].theirs.base_rss_kib / 1024.0, summaries[0].ours.base_rss_kib / 1024.0);
  }
  std::printf("\ncore clock %.2f GHz (dependent add chain), fused peak %.1f GFLOP/s\n",
              clock * 1e-9, clock * bench::kFlopsPerCycle * 1e-9);
  for (const Summary& s : summaries) {
    if (s.multiply_adds == 0) continue;
    const double peak = clock * bench::kFlopsPerCycle;
    const double flops = 2.0 * double(s.multiply_adds) / (percentile(s.ours.micros, 0.5) * 1e-6);
    const double best = 2.0 * double(s.multiply_adds) / (percentile(s.ours.micros, 0.0) * 1e-6);
    std::printf("%s: %.2f M multiply-adds per frame; this engine %.1f GFLOP/s at the median, "
                "%.1f%% of the core's peak (best frame %.1f GFLOP/s, %.1f%%)\n",
                s.name.c_str(), double(s.multiply_adds) * 1e-6, flops * 1e-9, 100.0 * flops / peak,
                best * 1e-9, 100.0 * best / peak);
  }
  return 0;
}
