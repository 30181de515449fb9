// The entries of the fuzz targets: each takes the fuzzer's bytes and reports the
// first broken promise it sees, or nothing. The libFuzzer targets abort on a
// report; the regression test replays every kept input through the same entries
// in the ordinary build.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "builder.h"
#include "cleaner.h"
#include "executor.h"
#include "graph.h"
#include "run.h"
#include "tensor.h"

namespace wd::fuzz {

using Problem = std::optional<std::string>;

// A tensor that breaks the invariant of its type: a wrong data length, data in the
// other list, or more elements than any tensor may hold.
inline Problem tensor_problem(const Tensor& tensor) {
  const Result<uint64_t> count = checked_element_count(tensor.shape);
  if (!count) return "a tensor of shape " + shape_text(tensor.shape) + " exists: " + count.error().message;
  const bool floats = tensor.type == ElementType::F32;
  const size_t held = floats ? tensor.f32.size() : tensor.i64.size();
  const size_t other = floats ? tensor.i64.size() : tensor.f32.size();
  if (held != *count || other != 0) {
    return "a tensor of shape " + shape_text(tensor.shape) + " holds " + std::to_string(held) +
           " values and " + std::to_string(other) + " of the other type";
  }
  return std::nullopt;
}

inline Problem graph_problem(const Graph& graph) {
  if (graph.values.size() != graph.slot_count) return "the value table and slot_count differ";
  if (graph.inputs.size() != 2 || graph.outputs.size() != 2) return "not two inputs and two outputs";
  const auto outside = [&](Slot slot) { return slot >= graph.slot_count; };
  if (std::any_of(graph.inputs.begin(), graph.inputs.end(), outside) ||
      std::any_of(graph.outputs.begin(), graph.outputs.end(), outside)) {
    return "an interface slot outside the value table";
  }
  for (const Op& op : graph.ops) {
    for (const auto* list : {&op.inputs, &op.outputs}) {
      for (const OptionalSlot& slot : *list) {
        if (slot && outside(*slot)) return "an operation slot outside the value table";
      }
    }
  }
  for (const std::optional<Tensor>& value : graph.values) {
    if (value) {
      if (Problem problem = tensor_problem(*value)) return problem;
    }
  }
  return std::nullopt;
}

// Model bytes through decoding and building.
inline Problem load_graph_entry(std::span<const uint8_t> bytes) {
  Result<Graph> graph = load_graph(bytes);
  if (!graph) {
    if (graph.error().message.empty()) return "a failure without a message";
    return std::nullopt;
  }
  return graph_problem(*graph);
}

// A private directory holding the fixed recording; each run writes the model and
// the output there.
class CleanBench {
 public:
  static CleanBench& get() {
    static CleanBench bench;
    return bench;
  }

  // 2000 samples: long enough for the model to run 13 frames, short enough that
  // every mutated graph gets many runs a second.
  static constexpr size_t kSamples = 2000;

  std::string model() const { return dir_ + "/model.onnx"; }
  std::string input() const { return dir_ + "/in.raw"; }
  std::string output() const { return dir_ + "/out.raw"; }

 private:
  CleanBench() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wd-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    std::vector<uint8_t> pcm(2 * kSamples);
    uint32_t state = 12345;
    for (size_t i = 0; i < kSamples; ++i) {
      state = state * 1664525u + 1013904223u;
      const double tone = 8000.0 * std::sin(0.0864 * static_cast<double>(i));
      const auto noise = static_cast<double>(static_cast<int32_t>(state >> 20) - 2048);
      const auto sample = static_cast<uint16_t>(static_cast<int16_t>(std::lround(tone + noise)));
      pcm[2 * i] = static_cast<uint8_t>(sample & 0xFF);
      pcm[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    write(input(), pcm);
  }
  ~CleanBench() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  static void write(const std::string& path, std::span<const uint8_t> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (put <= 0) std::abort();
      done += static_cast<size_t>(put);
    }
    ::close(fd);
  }

  friend Problem clean_entry(std::span<const uint8_t> bytes);
  std::string dir_;
};

// The one internal failure that an input may cause: LayerNormalization over a run
// of zero values stops the run instead of computing.
inline bool documented_fault(const char* what) {
  return std::strcmp(what, "LayerNormalization over an empty run of values") == 0;
}

// wd_clean's guard hides which fault it caught; the run is deterministic, so the
// same run without the guard names it.
inline Problem unguarded_fault(const CleanBench& bench) {
  RunCallbacks callbacks;
  callbacks.progress = [](uint64_t, uint64_t) {};
  callbacks.cancel = [] { return false; };
  try {
    (void)run(bench.model(), bench.input(), bench.output(), callbacks);
  } catch (const InternalFault& fault) {
    if (documented_fault(fault.what())) return std::nullopt;
    return std::string("internal fault: ") + fault.what();
  } catch (const std::exception& exception) {
    return std::string("exception: ") + exception.what();
  }
  return "the guard's message from a run without a fault";
}

// Model bytes through the whole cleaning call on the fixed recording.
inline Problem clean_entry(std::span<const uint8_t> bytes) {
  CleanBench& bench = CleanBench::get();
  CleanBench::write(bench.model(), bytes);
  int32_t progress = 0;
  char message[512];
  std::memset(message, 0x7F, sizeof message);
  const int code = wd_clean(bench.model().c_str(), bench.input().c_str(), bench.output().c_str(),
                            &progress, nullptr, message, sizeof message);
  if (code == WD_OK) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(bench.output(), error);
    if (error || size != 2 * CleanBench::kSamples) return "a successful run wrote the wrong length";
    if (progress != 10000) return "a successful run ended with progress " + std::to_string(progress);
    return std::nullopt;
  }
  if (std::memchr(message, '\0', sizeof message) == nullptr) return "an unterminated message";
  const std::string text(message);
  if (code < WD_CANCELLED || code > WD_OTHER) return "result code " + std::to_string(code);
  if (code == WD_CANCELLED || code == WD_INPUT) return "result code " + std::to_string(code) + ": " + text;
  // A malformed model is reported by a check, never by the guard's last resort.
  if (text == "the cleaner stopped unexpectedly") return unguarded_fault(bench);
  if (code == WD_MODEL && text.rfind("model: ", 0) != 0) return "a model failure without its prefix";
  // A model's own texts (metadata keys and values) may hold NUL bytes, which end
  // the message early for a C reader; nothing else may leave it empty.
  if (text.empty() || text == "output: ") {
    return "result code " + std::to_string(code) + " with the message \"" + text + "\"";
  }
  return std::nullopt;
}

// The fuzzer's bytes, read front to back; past the end every byte is 0.
class ByteSource {
 public:
  explicit ByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint8_t byte() { return position_ < bytes_.size() ? bytes_[position_++] : 0; }
  bool flag() { return (byte() & 1) != 0; }

  uint64_t raw(int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= uint64_t{byte()} << (8 * i);
    return value;
  }

  // Mostly small values around zero; sometimes any 16- or 64-bit value or an extreme.
  int64_t integer() {
    static constexpr std::array<int64_t, 16> kExtremes = {
        std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
        std::numeric_limits<int64_t>::min() + 1, -(int64_t{1} << 62), int64_t{1} << 62,
        int64_t{1} << 32, int64_t{1} << 31, -(int64_t{1} << 31), int64_t{1} << 28,
        (int64_t{1} << 28) + 1, -(int64_t{1} << 28), 100000, 65536, 4294967295,
        std::numeric_limits<int64_t>::max() - 1, -9223372036854775807 / 2};
    const uint8_t b = byte();
    if (b < 0xC0) return int64_t{b} - 64;
    if (b < 0xE0) return static_cast<int16_t>(raw(2));
    if (b < 0xF0) return static_cast<int64_t>(raw(8));
    return kExtremes[b - 0xF0];
  }

  int64_t positive() {
    const int64_t x = integer();
    if (x >= 1) return x;
    if (x == 0) return 1;
    if (x == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
    return -x;
  }

  int64_t non_negative() {
    const int64_t x = integer();
    if (x >= 0) return x;
    if (x == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
    return -x;
  }

  // Mostly eighths between -8 and 8; sometimes a special value or any bit pattern.
  float value() {
    static constexpr std::array<float, 16> kSpecial = {
        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(),
        std::numeric_limits<float>::min(), -0.0f, 1e30f, -1e30f, 1e-30f, 88.8f, -88.8f, 1e-5f,
        3e9f, -3e9f};
    const uint8_t b = byte();
    if (b < 0x80) return static_cast<float>(int{b} - 64) / 8.0f;
    if (b < 0x90) return kSpecial[b - 0x80];
    const auto bits = static_cast<uint32_t>(raw(4));
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // Mostly small sizes, or a size seen before in this input; sometimes a huge one,
  // which a tensor can only have beside a size 0.
  uint64_t dim() {
    static constexpr std::array<uint64_t, 16> kHuge = {
        uint64_t{1} << 28, (uint64_t{1} << 28) + 1, uint64_t{1} << 32, uint64_t{1} << 63,
        std::numeric_limits<uint64_t>::max(), 100000, 65536, uint64_t{1} << 31,
        (uint64_t{1} << 31) - 1, uint64_t{3} << 26, (uint64_t{1} << 62) + 3, uint64_t{1} << 40,
        std::numeric_limits<uint64_t>::max() / 3, uint64_t{1} << 14, 161, 322};
    const uint8_t b = byte();
    uint64_t size;
    if (b < 0xC0) {
      size = b % 48;
    } else if (b < 0xE0) {
      size = seen_.empty() ? 1 : seen_[(b - 0xC0) % seen_.size()];
    } else if (b < 0xF0) {
      size = raw(2);
    } else {
      size = kHuge[b - 0xF0];
    }
    seen_.push_back(size);
    return size;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
  std::vector<uint64_t> seen_;
};

inline OpKind read_kind(ByteSource& in) {
  switch (in.byte() % std::variant_size_v<OpKind>) {
    case 0: return op::Unary{static_cast<UnaryFunction>(in.byte() % 6)};
    case 1: return op::Arithmetic{static_cast<BinaryFunction>(in.byte() % 5)};
    case 2: return op::Reshape{in.flag()};
    case 3: {
      op::Transpose t;
      if (in.flag()) {
        t.perm.emplace(in.byte() % 7);
        for (int64_t& axis : *t.perm) axis = in.integer();
      }
      return t;
    }
    case 4: return op::Slice{};
    case 5: {
      op::Split s;
      s.axis = in.integer();
      s.parts = in.byte() % 6;
      return s;
    }
    case 6: return op::Squeeze{};
    case 7: return op::Unsqueeze{};
    case 8: {
      op::Concat c;
      if (in.flag()) c.axis = in.integer();
      return c;
    }
    case 9: return op::Flatten{in.integer()};
    case 10: return op::Gather{in.integer()};
    case 11: {
      const uint8_t b = in.byte();
      return op::ReduceSum{(b & 1) != 0, (b & 2) != 0};
    }
    case 12: {
      // The builder guarantees a group of at least 1, positive strides and
      // dilations and non-negative pads; within that anything goes.
      op::Conv c;
      c.group = in.positive();
      for (int64_t& s : c.strides) s = in.positive();
      for (int64_t& d : c.dilations) d = in.positive();
      for (int64_t& p : c.pads) p = in.non_negative();
      return c;
    }
    case 13: {
      op::Gemm g;
      g.alpha = in.value();
      g.beta = in.value();
      const uint8_t b = in.byte();
      g.transA = (b & 1) != 0;
      g.transB = (b & 2) != 0;
      return g;
    }
    case 14: return op::MatMul{};
    case 15: {
      op::LayerNormalization l;
      l.axis = in.integer();
      l.epsilon = in.value();
      return l;
    }
    default: {
      op::Gru g;
      g.direction = static_cast<GruDirection>(in.byte() % 3);
      g.hidden_size = in.positive();
      g.weights_transposed = in.flag();
      return g;
    }
  }
}

// Enough for every kernel path and still many evaluations a second.
inline constexpr uint64_t kMostInputElements = 1 << 16;

// An input tensor, or nothing when the bytes ask for an absent input or for one too
// large to build here (the caller then gives up on this input).
inline std::optional<Tensor> read_tensor(ByteSource& in, bool& too_large) {
  const uint8_t tag = in.byte() % 8;
  if (tag == 0) return std::nullopt;
  Shape shape(in.byte() % 6);
  for (uint64_t& size : shape) size = in.dim();
  const Result<uint64_t> count = checked_element_count(shape);
  if (!count || *count > kMostInputElements) {
    too_large = true;
    return std::nullopt;
  }
  if (tag <= 2) {
    std::vector<int64_t> data(*count);
    for (int64_t& x : data) x = in.integer();
    return Tensor::int64s(std::move(shape), std::move(data));
  }
  std::vector<float> data(*count);
  for (float& x : data) x = in.value();
  return Tensor::floats(std::move(shape), std::move(data));
}

inline size_t expected_results(const OpKind& kind) {
  if (const auto* split = std::get_if<op::Split>(&kind)) return split->parts;
  if (std::holds_alternative<op::Gru>(kind)) return 2;
  return 1;
}

inline bool same_bits(const Tensor& a, const Tensor& b) {
  const auto same_float = [](float x, float y) {
    return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
  };
  return a.type == b.type && a.shape == b.shape && a.i64 == b.i64 &&
         std::equal(a.f32.begin(), a.f32.end(), b.f32.begin(), b.f32.end(), same_float);
}

// The operation again with input 0 given up, as the executor offers a value that
// nothing reads afterwards: the outcome must be the same bit for bit, and a failing
// kernel must leave the input as it was.
inline Problem expiring_problem(const OpKind& kind,
                                const std::vector<std::optional<Tensor>>& tensors,
                                const Result<Outputs>& kept) {
  if (tensors.empty() || !tensors[0]) return std::nullopt;
  std::vector<std::optional<Tensor>> given = tensors;
  std::vector<const Tensor*> inputs;
  for (const std::optional<Tensor>& tensor : given) inputs.push_back(tensor ? &*tensor : nullptr);
  std::optional<Result<Outputs>> evaluated;
  try {
    evaluated.emplace(evaluate_op(kind, inputs, &*given[0]));
  } catch (const InternalFault& fault) {
    return std::string("internal fault with an expiring input: ") + fault.what();
  }
  const Result<Outputs>& got = *evaluated;
  if (got.ok() != kept.ok()) return "an expiring input changed whether the operation succeeds";
  if (!kept) {
    if (got.error().message != kept.error().message) return "an expiring input changed the failure";
    if (!same_bits(*given[0], *tensors[0])) return "a failing operation took an expiring input";
    return std::nullopt;
  }
  if (got->size() != kept->size()) return "an expiring input changed the number of results";
  for (size_t k = 0; k < got->size(); ++k) {
    if (!same_bits((*got)[k], (*kept)[k])) return "an expiring input changed a result";
  }
  return std::nullopt;
}

// One operation of any kind on inputs of any count, type and shape.
inline Problem evaluate_op_entry(std::span<const uint8_t> bytes) {
  ByteSource in(bytes);
  const OpKind kind = read_kind(in);
  std::vector<std::optional<Tensor>> tensors(in.byte() % 7);
  bool too_large = false;
  for (std::optional<Tensor>& tensor : tensors) {
    tensor = read_tensor(in, too_large);
    if (too_large) return std::nullopt;
  }
  std::vector<const Tensor*> inputs;
  for (const std::optional<Tensor>& tensor : tensors) inputs.push_back(tensor ? &*tensor : nullptr);

  std::optional<Result<Outputs>> evaluated;
  try {
    evaluated.emplace(evaluate_op(kind, inputs));
  } catch (const InternalFault& fault) {
    if (documented_fault(fault.what())) return std::nullopt;
    return std::string("internal fault: ") + fault.what();
  }
  const Result<Outputs>& outputs = *evaluated;
  if (!outputs) {
    if (outputs.error().message.empty()) return "a failure without a message";
    return expiring_problem(kind, tensors, outputs);
  }
  if (outputs->size() != expected_results(kind)) {
    return "operation kind " + std::to_string(kind.index()) + " gave " +
           std::to_string(outputs->size()) + " results";
  }
  for (const Tensor& tensor : *outputs) {
    if (tensor.type != ElementType::F32) return "an operation gave 64-bit integers";
    if (Problem problem = tensor_problem(tensor)) return problem;
  }
  return expiring_problem(kind, tensors, outputs);
}

}  // namespace wd::fuzz
