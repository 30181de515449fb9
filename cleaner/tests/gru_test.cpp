#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kernels.h"
#include "product.h"

namespace wd {
namespace {

// Inputs beyond the list are absent; index 4, the sequence lengths, stays absent.
Result<Outputs> run(const op::Gru& params, const Tensor& x, const Tensor& w, const Tensor& r,
                    const Tensor* bias = nullptr, const Tensor* start = nullptr) {
  const Tensor* list[] = {&x, &w, &r, bias, nullptr, start};
  return gru_kernel(params, list);
}

op::Gru params(GruDirection direction, int64_t hidden, bool transposed = false) {
  return op::Gru{direction, hidden, transposed};
}

// The weights as loading prepares constant ones: transposed, and each direction's
// matrix set out in panels (none on processors without the fused product).
struct Prepared {
  op::Gru params;
  Tensor w, r;
  std::vector<std::shared_ptr<const RowPanels>> panels;

  void set_out(const Tensor& weight, std::array<const RowPanels*, 2>& per_direction) {
    const uint64_t k = weight.shape[1];
    const uint64_t n = weight.shape[2];
    for (uint64_t d = 0; d < weight.shape[0]; ++d) {
      panels.push_back(RowPanels::arrange(std::span(weight.f32).subspan(d * k * n, k * n), k, n));
      per_direction[d] = panels.back().get();
    }
  }
};

Prepared prepared(const op::Gru& given, const Tensor& w, const Tensor& r) {
  const auto transposed = [&](const Tensor& t) {
    return given.weights_transposed ? t : swap_last_axes(FloatView{&t.shape, t.f32}).value();
  };
  Prepared out{given, transposed(w), transposed(r), {}};
  out.params.weights_transposed = true;
  out.set_out(out.w, out.params.w_panels);
  out.set_out(out.r, out.params.r_panels);
  return out;
}

// ---------------------------------------------------------------------------
// Cases from the double-precision numpy reference in models/fixtures/gru_reference.py

struct FixtureTensor {
  Shape shape;
  std::vector<float> floats;   // as 32-bit floats, for inputs
  std::vector<double> values;  // as written, for expected outputs
};

struct Fixture {
  std::string name;
  op::Gru params;
  std::map<std::string, FixtureTensor> tensors;

  Tensor input(const std::string& key) const {
    const FixtureTensor& t = tensors.at(key);
    return Tensor::floats(t.shape, t.floats);
  }
};

Fixture read_fixture(const std::filesystem::path& path) {
  Fixture fixture;
  fixture.name = path.stem().string();
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "direction") {
      std::string direction;
      words >> direction;
      fixture.params.direction = direction == "forward"   ? GruDirection::Forward
                                 : direction == "reverse" ? GruDirection::Reverse
                                                          : GruDirection::Bidirectional;
    } else if (key == "hidden_size") {
      words >> fixture.params.hidden_size;
    } else if (key == "weights_transposed") {
      int flag = 0;
      words >> flag;
      fixture.params.weights_transposed = flag != 0;
    } else if (key == "tensor") {
      std::string name;
      std::size_t rank = 0;
      words >> name >> rank;
      FixtureTensor tensor;
      tensor.shape.resize(rank);
      for (uint64_t& size : tensor.shape) words >> size;
      std::string values;
      std::getline(in, values);
      std::istringstream numbers(values);
      std::string number;
      while (numbers >> number) {
        // Straight from the decimal text: through a double first could round twice.
        tensor.floats.push_back(std::strtof(number.c_str(), nullptr));
        tensor.values.push_back(std::strtod(number.c_str(), nullptr));
      }
      fixture.tensors[name] = std::move(tensor);
    }
  }
  return fixture;
}

std::vector<Fixture> read_fixtures() {
  const char* root = std::getenv("WD_SOURCE_DIR");
  const std::filesystem::path dir =
      std::filesystem::path(root != nullptr ? root : ".") / "models" / "fixtures" / "gru";
  std::vector<std::filesystem::path> paths;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() == ".txt") paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Fixture> fixtures;
  for (const auto& path : paths) fixtures.push_back(read_fixture(path));
  return fixtures;
}

void expect_close(const Tensor& actual, const FixtureTensor& expected, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(actual.shape, expected.shape);
  ASSERT_EQ(actual.f32.size(), expected.values.size());
  for (std::size_t i = 0; i < actual.f32.size(); ++i) {
    const double reference = expected.values[i];
    EXPECT_NEAR(actual.f32[i], reference, 1e-5 * std::max(1.0, std::fabs(reference)))
        << "element " << i;
  }
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](float u, float v) {
    return std::bit_cast<uint32_t>(u) == std::bit_cast<uint32_t>(v);
  });
}

class GruFixtures : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { testing::force_portable_product(GetParam()); }
  void TearDown() override { testing::force_portable_product(false); }
};

TEST_P(GruFixtures, MatchTheReference) {
  const std::vector<Fixture> fixtures = read_fixtures();
  ASSERT_GE(fixtures.size(), 12u) << "fixtures missing; run models/fixtures/gru_reference.py";
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.name);
    const Tensor x = f.input("X");
    const Tensor w = f.input("W");
    const Tensor r = f.input("R");
    const bool has_bias = f.tensors.count("B") != 0;
    const bool has_start = f.tensors.count("H0") != 0;
    const Tensor bias = has_bias ? f.input("B") : Tensor{};
    const Tensor start = has_start ? f.input("H0") : Tensor{};
    Result<Outputs> result =
        run(f.params, x, w, r, has_bias ? &bias : nullptr, has_start ? &start : nullptr);
    ASSERT_TRUE(result.ok()) << result.error().message;
    ASSERT_EQ(result->size(), 2u);
    const Tensor& y = (*result)[0];
    const Tensor& y_h = (*result)[1];
    expect_close(y, f.tensors.at("Y"), "Y");
    expect_close(y_h, f.tensors.at("Y_h"), "Y_h");
    for (const float v : y.f32) ASSERT_FALSE(std::isnan(v));

    // Y_h is the vector each direction stored last: at the last step going
    // forward, at step 0 going backward.
    const uint64_t steps = y.shape[0];
    const uint64_t directions = y.shape[1];
    const uint64_t block = y.shape[2] * y.shape[3];
    for (uint64_t d = 0; d < directions && steps > 0; ++d) {
      const bool backward = f.params.direction == GruDirection::Reverse || d == 1;
      const uint64_t last = backward ? 0 : steps - 1;
      const std::vector<float> stored(y.f32.begin() + (last * directions + d) * block,
                                      y.f32.begin() + (last * directions + d + 1) * block);
      const std::vector<float> final_state(y_h.f32.begin() + d * block,
                                           y_h.f32.begin() + (d + 1) * block);
      EXPECT_TRUE(same_bits(stored, final_state)) << "direction " << d;
    }

    Result<Outputs> again =
        run(f.params, x, w, r, has_bias ? &bias : nullptr, has_start ? &start : nullptr);
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(same_bits((*again)[0].f32, y.f32)) << "a second run differs";

    const Prepared p = prepared(f.params, w, r);
    Result<Outputs> from_panels =
        run(p.params, x, p.w, p.r, has_bias ? &bias : nullptr, has_start ? &start : nullptr);
    ASSERT_TRUE(from_panels.ok()) << from_panels.error().message;
    EXPECT_TRUE(same_bits((*from_panels)[0].f32, y.f32)) << "prepared weights differ";
    EXPECT_TRUE(same_bits((*from_panels)[1].f32, y_h.f32)) << "prepared weights differ";
  }
}

INSTANTIATE_TEST_SUITE_P(ProductPaths, GruFixtures, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "MultiplyThenAdd" : "ProcessorDefault";
                         });

// ---------------------------------------------------------------------------
// Exact cases

TEST(Gru, ZeroInputWithoutBiasOrStartStaysZero) {
  const Tensor x = Tensor::floats({3, 2, 2}, std::vector<float>(12, 0.0f));
  const Tensor w = Tensor::floats({1, 6, 2}, {1, -2, 3, 4, -5, 6, 0.5f, 1, 2, -3, 7, 8});
  const Tensor r = Tensor::floats({1, 6, 2}, {9, 1, -1, 2, 4, -6, 3, 3, 1, 1, -2, 5});
  Result<Outputs> result = run(params(GruDirection::Forward, 2), x, w, r);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ((*result)[0].shape, (Shape{3, 1, 2, 2}));
  EXPECT_EQ((*result)[0].f32, std::vector<float>(12, 0.0f));
  EXPECT_EQ((*result)[1].shape, (Shape{1, 2, 2}));
  EXPECT_EQ((*result)[1].f32, std::vector<float>(4, 0.0f));
}

// One unit, one input of 1: the gate inputs are the weights themselves. R is
// given in the untransposed [1, 3H, H] layout: z, r, h rows of one value each.
struct SaturationCase {
  const char* name;
  std::vector<float> w;  // z, r, h
  std::vector<float> expected;
};

TEST(Gru, OverflowingExponentialsSaturateTheGatesWithoutNaN) {
  const Tensor x = Tensor::floats({3, 1, 1}, {1, 1, 1});
  const Tensor r = Tensor::floats({1, 3, 1}, {0.25f, 0.5f, 3});
  const Tensor start = Tensor::floats({1, 1, 1}, {0.5f});
  const std::vector<SaturationCase> cases = {
      // expf(-1000) is 0: the update gate is exactly 1 and h is kept.
      {"update gate 1", {1000, 0, 0}, {0.5f, 0.5f, 0.5f}},
      // expf(1000) is infinity: the update gate is exactly 0 and h takes the
      // candidate; a reset gate of exactly 0 removes the recurrent term, so the
      // candidate is tanh(1000) = 1, then tanh(-1000) = -1.
      {"update and reset gates 0, candidate 1", {-1000, -1000, 1000}, {1, 1, 1}},
      {"update and reset gates 0, candidate -1", {-1000, -1000, -1000}, {-1, -1, -1}},
      // Reset gate 1 leaves the candidate tanh(h * 3); with h = 0.5 that is tanh(1.5).
      {"update gate 0, reset gate 1", {-1000, 1000, 0},
       {std::tanh(1.5f), std::tanh(std::tanh(1.5f) * 3), std::tanh(std::tanh(std::tanh(1.5f) * 3) * 3)}},
  };
  for (const SaturationCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Tensor w = Tensor::floats({1, 3, 1}, c.w);
    Result<Outputs> result =
        run(params(GruDirection::Forward, 1), x, w, r, nullptr, &start);
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ((*result)[0].f32, c.expected);
    EXPECT_EQ((*result)[1].f32, std::vector<float>{c.expected.back()});
  }
}

TEST(Gru, ReverseAndBidirectionalRunStepsInTheirOrder) {
  // With the update gate 0 and the reset gate 0, h is tanh of the input's
  // candidate weight times the input: each step forgets the previous one, so every
  // direction's Y(t) depends on X(t) alone and Y_h shows where it ended.
  const Tensor x = Tensor::floats({3, 1, 1}, {0.5f, 1, 2});
  const Tensor w1 = Tensor::floats({1, 3, 1}, {-1e4f, -1e4f, 1});
  const Tensor r1 = Tensor::floats({1, 3, 1}, {0, 0, 0});
  const std::vector<float> per_step = {std::tanh(0.5f), std::tanh(1.0f), std::tanh(2.0f)};

  Result<Outputs> reverse = run(params(GruDirection::Reverse, 1), x, w1, r1);
  ASSERT_TRUE(reverse.ok());
  EXPECT_EQ((*reverse)[0].f32, per_step);
  EXPECT_EQ((*reverse)[1].f32, std::vector<float>{per_step[0]});

  const Tensor w2 = Tensor::floats({2, 3, 1}, {-1e4f, -1e4f, 1, -1e4f, -1e4f, -1});
  const Tensor r2 = Tensor::floats({2, 3, 1}, {0, 0, 0, 0, 0, 0});
  Result<Outputs> both = run(params(GruDirection::Bidirectional, 1), x, w2, r2);
  ASSERT_TRUE(both.ok());
  EXPECT_EQ((*both)[0].shape, (Shape{3, 2, 1, 1}));
  EXPECT_EQ((*both)[0].f32, (std::vector<float>{per_step[0], -per_step[0], per_step[1],
                                                -per_step[1], per_step[2], -per_step[2]}));
  EXPECT_EQ((*both)[1].f32, (std::vector<float>{per_step[2], -per_step[0]}));
}

TEST(Gru, NoStepsGiveAnEmptyYAndTheStartState) {
  const Tensor x = Tensor::floats({0, 2, 1}, {});
  const Tensor w = Tensor::floats({2, 3, 1}, {1, 2, 3, 4, 5, 6});
  const Tensor r = Tensor::floats({2, 3, 1}, {1, 2, 3, 4, 5, 6});
  const Tensor start = Tensor::floats({2, 2, 1}, {0.25f, -0.5f, 0.75f, -1});
  Result<Outputs> with_start =
      run(params(GruDirection::Bidirectional, 1), x, w, r, nullptr, &start);
  ASSERT_TRUE(with_start.ok()) << with_start.error().message;
  EXPECT_EQ((*with_start)[0].shape, (Shape{0, 2, 2, 1}));
  EXPECT_TRUE((*with_start)[0].f32.empty());
  EXPECT_EQ((*with_start)[1].f32, start.f32);
  Result<Outputs> without = run(params(GruDirection::Bidirectional, 1), x, w, r);
  ASSERT_TRUE(without.ok());
  EXPECT_EQ((*without)[1].f32, std::vector<float>(4, 0.0f));
}

TEST(Gru, EmptyBatchOrInputAreComputed) {
  const Tensor w = Tensor::floats({1, 6, 1}, std::vector<float>(6, 1.0f));
  const Tensor r = Tensor::floats({1, 6, 2}, std::vector<float>(12, 0.0f));
  Result<Outputs> no_batch =
      run(params(GruDirection::Forward, 2), Tensor::floats({4, 0, 1}, {}), w, r);
  ASSERT_TRUE(no_batch.ok()) << no_batch.error().message;
  EXPECT_EQ((*no_batch)[0].shape, (Shape{4, 1, 0, 2}));
  EXPECT_EQ((*no_batch)[1].shape, (Shape{1, 0, 2}));

  // No input features: only the bias drives the gates.
  const Tensor w0 = Tensor::floats({1, 3, 0}, {});
  const Tensor r1 = Tensor::floats({1, 3, 1}, {0, 0, 0});
  const Tensor bias = Tensor::floats({1, 6}, {-1e4f, -1e4f, 0.5f, 0, 0, 0});
  Result<Outputs> no_features =
      run(params(GruDirection::Forward, 1), Tensor::floats({2, 1, 0}, {}), w0, r1, &bias);
  ASSERT_TRUE(no_features.ok()) << no_features.error().message;
  EXPECT_EQ((*no_features)[0].f32, (std::vector<float>{std::tanh(0.5f), std::tanh(0.5f)}));
}

// The gate arithmetic bit for bit: every weight is a power of two or 0, so every
// product in the projections is exact and both product paths round the sums alike;
// the reference below then follows the documented steps one rounding at a time,
// with the C library's single-precision exponential and hyperbolic tangent.
class GruGateArithmetic : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { testing::force_portable_product(GetParam()); }
  void TearDown() override { testing::force_portable_product(false); }
};

TEST_P(GruGateArithmetic, FollowsTheDocumentedStepsExactly) {
  // Eleven units: vectors of units and single units after them in every pass.
  constexpr uint64_t kSteps = 3, kBatch = 2, kInput = 3, kHidden = 11, kDirections = 2;
  constexpr uint64_t kGates = 3 * kHidden;
  const auto values = [](uint64_t count, auto value_of) {
    std::vector<float> out(count);
    for (uint64_t k = 0; k < count; ++k) out[k] = value_of(k);
    return out;
  };
  const auto power_of_two = [](uint64_t k) {
    constexpr float kWeights[] = {0.5f, -0.25f, 0.125f, -1, 0.0625f, 0, 0.25f, -0.5f, 1, -0.125f};
    return kWeights[(k * 7) % 10];
  };
  const std::vector<float> xs = values(kSteps * kBatch * kInput, [](uint64_t k) {
    return static_cast<float>((k * 37) % 41) * 0.11f - 2.2f;
  });
  // Untransposed: [directions, 3H, I] and [directions, 3H, H], rows z, r, h.
  const std::vector<float> ws = values(kDirections * kGates * kInput, power_of_two);
  const std::vector<float> rs =
      values(kDirections * kGates * kHidden, [&](uint64_t k) { return power_of_two(k + 3); });
  const std::vector<float> bs = values(kDirections * 2 * kGates, [](uint64_t k) {
    return static_cast<float>((k * 13) % 17) * 0.07f - 0.5f;
  });
  const std::vector<float> h0s = values(kDirections * kBatch * kHidden, [](uint64_t k) {
    return static_cast<float>((k * 5) % 11) * 0.15f - 0.7f;
  });

  std::vector<float> y(kSteps * kDirections * kBatch * kHidden);
  std::vector<float> y_h(kDirections * kBatch * kHidden);
  for (uint64_t d = 0; d < kDirections; ++d) {
    for (uint64_t b = 0; b < kBatch; ++b) {
      float h[kHidden];
      for (uint64_t j = 0; j < kHidden; ++j) h[j] = h0s[(d * kBatch + b) * kHidden + j];
      for (uint64_t s = 0; s < kSteps; ++s) {
        const uint64_t t = d == 1 ? kSteps - 1 - s : s;
        float xp[kGates], hp[kGates];
        for (uint64_t g = 0; g < kGates; ++g) {
          // Prior value (the bias), then the terms in ascending inner index.
          float in = bs[d * 2 * kGates + g];
          for (uint64_t i = 0; i < kInput; ++i) {
            in = xs[(t * kBatch + b) * kInput + i] * ws[(d * kGates + g) * kInput + i] + in;
          }
          xp[g] = in;
          float rec = bs[d * 2 * kGates + kGates + g];
          for (uint64_t i = 0; i < kHidden; ++i) {
            rec = h[i] * rs[(d * kGates + g) * kHidden + i] + rec;
          }
          hp[g] = rec;
        }
        for (uint64_t j = 0; j < kHidden; ++j) {
          const float ez = std::exp(-(xp[j] + hp[j]));
          const float er = std::exp(-(xp[kHidden + j] + hp[kHidden + j]));
          const float reset = 1.0f / (er + 1.0f);
          const float candidate = std::tanh(reset * hp[2 * kHidden + j] + xp[2 * kHidden + j]);
          const float update = 1.0f / (ez + 1.0f);
          h[j] = update * h[j] + (1.0f - update) * candidate;
        }
        for (uint64_t j = 0; j < kHidden; ++j) {
          y[((t * kDirections + d) * kBatch + b) * kHidden + j] = h[j];
        }
      }
      for (uint64_t j = 0; j < kHidden; ++j) y_h[(d * kBatch + b) * kHidden + j] = h[j];
    }
  }

  const Tensor x = Tensor::floats({kSteps, kBatch, kInput}, xs);
  const Tensor w = Tensor::floats({kDirections, kGates, kInput}, ws);
  const Tensor r = Tensor::floats({kDirections, kGates, kHidden}, rs);
  const Tensor bias = Tensor::floats({kDirections, 2 * kGates}, bs);
  const Tensor start = Tensor::floats({kDirections, kBatch, kHidden}, h0s);
  Result<Outputs> result =
      run(params(GruDirection::Bidirectional, kHidden), x, w, r, &bias, &start);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_TRUE(same_bits((*result)[0].f32, y));
  EXPECT_TRUE(same_bits((*result)[1].f32, y_h));
}

INSTANTIATE_TEST_SUITE_P(ProductPaths, GruGateArithmetic, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "MultiplyThenAdd" : "ProcessorDefault";
                         });

// ---------------------------------------------------------------------------
// Validation

TEST(Gru, ReportsFailuresInTheirOrder) {
  // Bt = 2, I = 2, H = 1 in the untransposed layout.
  const Tensor x = Tensor::floats({2, 2, 2}, std::vector<float>(8, 0.5f));
  const Tensor w = Tensor::floats({1, 3, 2}, std::vector<float>(6, 0.1f));
  const Tensor r = Tensor::floats({1, 3, 1}, std::vector<float>(3, 0.1f));
  const Tensor w_bi = Tensor::floats({2, 3, 2}, std::vector<float>(12, 0.1f));
  const Tensor r_bi = Tensor::floats({2, 3, 1}, std::vector<float>(6, 0.1f));
  const Tensor integers = Tensor::int64s({1}, {1});
  const Tensor vector3 = Tensor::floats({3}, {1, 2, 3});
  const Tensor x2 = Tensor::floats({2, 2}, std::vector<float>(4, 0.5f));
  const Tensor x4 = Tensor::floats({1, 2, 2, 1}, std::vector<float>(4, 0.5f));
  const Tensor w_wide = Tensor::floats({1, 3, 3}, std::vector<float>(9, 0.1f));
  const Tensor r_wide = Tensor::floats({1, 3, 2}, std::vector<float>(6, 0.1f));
  const Tensor bias = Tensor::floats({1, 6}, std::vector<float>(6, 0.0f));
  const Tensor bias_flat = Tensor::floats({6}, std::vector<float>(6, 0.0f));
  const Tensor bias_half = Tensor::floats({1, 3}, std::vector<float>(3, 0.0f));
  const Tensor start = Tensor::floats({1, 2, 1}, {0, 0});
  const Tensor start_flat = Tensor::floats({2, 1}, {0, 0});
  const Tensor start_batch = Tensor::floats({1, 1, 1}, {0});
  struct Case {
    const char* name;
    std::vector<const Tensor*> inputs;
    op::Gru params;
    std::string message;
  };
  const op::Gru forward = params(GruDirection::Forward, 1);
  const std::vector<Case> cases = {
      {"no inputs", {}, forward, "input 0 is missing"},
      {"integer x", {&integers}, forward, "int64 values where floats were expected"},
      {"missing w", {&x}, forward, "input 1 is missing"},
      {"integer w", {&x, &integers}, forward, "int64 values where floats were expected"},
      {"missing r before w is transposed", {&x, &vector3, nullptr}, forward,
       "input 2 is missing"},
      {"integer r", {&x, &w, &integers}, forward, "int64 values where floats were expected"},
      {"w of one axis cannot be transposed", {&x, &vector3, &r}, forward,
       "a matrix with fewer than two dimensions"},
      {"r of one axis cannot be transposed", {&x, &w, &vector3}, forward,
       "a matrix with fewer than two dimensions"},
      {"x of two axes", {&x2, &w, &r}, forward, "GRU with mismatched weights"},
      {"x of four axes", {&x4, &w, &r}, forward, "GRU with mismatched weights"},
      {"w for another input size", {&x, &w_wide, &r}, forward, "GRU with mismatched weights"},
      {"r for another hidden size", {&x, &w, &r_wide}, forward, "GRU with mismatched weights"},
      {"one direction of weights for a bidirectional layer", {&x, &w, &r},
       params(GruDirection::Bidirectional, 1), "GRU with mismatched weights"},
      {"two directions of weights for a forward layer", {&x, &w_bi, &r_bi}, forward,
       "GRU with mismatched weights"},
      {"hidden size other than the weights'", {&x, &w, &r}, params(GruDirection::Forward, 2),
       "GRU with mismatched weights"},
      {"hidden size 0", {&x, &w, &r}, params(GruDirection::Forward, 0),
       "GRU with mismatched weights"},
      {"untransposed w declared transposed", {&x, &w, &r},
       params(GruDirection::Forward, 1, true), "GRU with mismatched weights"},
      {"mismatched weights before a bad bias", {&x, &w_wide, &r, &bias_flat}, forward,
       "GRU with mismatched weights"},
      {"integer bias", {&x, &w, &r, &integers}, forward,
       "int64 values where floats were expected"},
      {"bias without its direction axis", {&x, &w, &r, &bias_flat}, forward,
       "GRU with a bias of the wrong size"},
      {"bias of only the input side", {&x, &w, &r, &bias_half}, forward,
       "GRU with a bias of the wrong size"},
      {"bad bias before a bad start state", {&x, &w, &r, &bias_flat, nullptr, &start_flat},
       forward, "GRU with a bias of the wrong size"},
      {"integer start state", {&x, &w, &r, &bias, nullptr, &integers}, forward,
       "int64 values where floats were expected"},
      {"start state without its direction axis", {&x, &w, &r, &bias, nullptr, &start_flat},
       forward, "GRU with a start state of the wrong size"},
      {"start state for another batch", {&x, &w, &r, nullptr, nullptr, &start_batch}, forward,
       "GRU with a start state of the wrong size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Outputs> result = gru_kernel(c.params, c.inputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.message);
  }

  // The same inputs, well formed, pass; the sequence lengths at index 4 are ignored.
  const std::vector<const Tensor*> good = {&x, &w, &r, &bias, &integers, &start};
  EXPECT_TRUE(gru_kernel(forward, good).ok());
}

TEST(Gru, TransposedWeightsAreTakenAsTheyAre) {
  // I = 3H = 3: the untransposed [1, 3H, I] and the transposed [1, I, 3H] layouts
  // have the same shape, so the flag alone decides how the values are read. The
  // input picks the weights of input feature 0: column 0 of w untransposed, row 0
  // of w transposed.
  const Tensor x = Tensor::floats({1, 1, 3}, {1, 0, 0});
  const Tensor w = Tensor::floats({1, 3, 3}, {-1e4f, -1e4f, 2, 0, 0, 0, 0, 0, 0});
  const Tensor r = Tensor::floats({1, 3, 1}, {0, 0, 0});
  const Tensor r_transposed = Tensor::floats({1, 1, 3}, {0, 0, 0});
  // Column 0: update gate 0, reset gate 0.5, candidate tanh(0).
  Result<Outputs> untransposed = run(params(GruDirection::Forward, 1), x, w, r);
  ASSERT_TRUE(untransposed.ok());
  EXPECT_EQ((*untransposed)[0].f32, std::vector<float>{0});
  // Row 0: update and reset gates 0, candidate tanh(2).
  Result<Outputs> transposed = run(params(GruDirection::Forward, 1, true), x, w, r_transposed);
  ASSERT_TRUE(transposed.ok());
  EXPECT_EQ((*transposed)[0].f32, std::vector<float>{std::tanh(2.0f)});
}

TEST(Gru, RefusesBuffersBeyondTheElementLimit) {
  // 100000 steps of 1000 units: Y holds 10^8 values, within the limit, but the
  // input projections of all steps would need 3 * 10^8.
  const Tensor x = Tensor::floats({100000, 1, 1}, std::vector<float>(100000, 0.0f));
  const Tensor w = Tensor::floats({1, 1, 3000}, std::vector<float>(3000, 0.0f));
  const Tensor r = Tensor::floats({1, 1000, 3000}, std::vector<float>(3000000, 0.0f));
  Result<Outputs> projections = run(params(GruDirection::Forward, 1000, true), x, w, r);
  ASSERT_FALSE(projections.ok());
  EXPECT_EQ(projections.error().message, "[100000, 3000] holds too many values");

  const Tensor long_x = Tensor::floats({300000, 1, 1}, std::vector<float>(300000, 0.0f));
  Result<Outputs> outputs = run(params(GruDirection::Forward, 1000, true), long_x, w, r);
  ASSERT_FALSE(outputs.ok());
  EXPECT_EQ(outputs.error().message, "[300000, 1, 1, 1000] holds too many values");
}

// 2^16 steps of 512 units: every buffer is within the element bound, but the steps
// need 2^16 * 1536 * 513 multiply-adds, more than 2^35. The size checks still come
// first.
TEST(Gru, RefusesOperationsThatNeedTooMuchWork) {
  constexpr uint64_t kSteps = uint64_t{1} << 16;
  constexpr uint64_t kHidden = 512;
  const Tensor x = Tensor::floats({kSteps, 1, 1}, std::vector<float>(kSteps, 0.0f));
  const Tensor w = Tensor::floats({1, 1, 3 * kHidden}, std::vector<float>(3 * kHidden, 0.0f));
  const Tensor r = Tensor::floats({1, kHidden, 3 * kHidden},
                                  std::vector<float>(3 * kHidden * kHidden, 0.0f));
  const Tensor flat_bias = Tensor::floats({6 * kHidden}, std::vector<float>(6 * kHidden, 0.0f));
  const op::Gru gru = params(GruDirection::Forward, kHidden, true);
  Result<Outputs> refused = run(gru, x, w, r);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "GRU needs too much work");
  Result<Outputs> bias = run(gru, x, w, r, &flat_bias);
  ASSERT_FALSE(bias.ok());
  EXPECT_EQ(bias.error().message, "GRU with a bias of the wrong size");
}

}  // namespace
}  // namespace wd
