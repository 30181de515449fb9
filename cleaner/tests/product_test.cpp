#include "product.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "result.h"

namespace {

using wd::accumulate_product;

// Whether this processor runs the fused path, decided without asking the engine.
bool processor_has_fma() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

enum class Path { Fused, Portable };

// Selects a path for the lifetime of the guard.
class PathGuard {
 public:
  explicit PathGuard(Path path) { wd::testing::force_portable_product(path == Path::Portable); }
  ~PathGuard() { wd::testing::force_portable_product(false); }
};

// An output region of m * n values framed by guard values that must survive.
class GuardedOutput {
 public:
  static constexpr size_t kGuard = 16;
  static constexpr uint32_t kPattern = 0x7fc01234;  // a NaN no computation produces

  explicit GuardedOutput(const std::vector<float>& initial)
      : storage_(initial.size() + 2 * kGuard, std::bit_cast<float>(kPattern)) {
    std::copy(initial.begin(), initial.end(), storage_.begin() + kGuard);
  }
  std::span<float> out() { return {storage_.data() + kGuard, storage_.size() - 2 * kGuard}; }
  bool guards_intact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (std::bit_cast<uint32_t>(storage_[i]) != kPattern) return false;
      if (std::bit_cast<uint32_t>(storage_[storage_.size() - 1 - i]) != kPattern) return false;
    }
    return true;
  }

 private:
  std::vector<float> storage_;
};

struct Size {
  uint64_t m, k, n;
};

std::string size_name(const Size& s) {
  return std::to_string(s.m) + "x" + std::to_string(s.k) + "x" + std::to_string(s.n);
}

// Shapes that cover empty products, single rows and columns, and every kind of
// column run: shorter than a vector, exactly one, one past, and several blocks
// with a ragged end. Row counts cover every remainder of the row blocking.
const Size kSizes[] = {
    {0, 3, 5},  {3, 0, 5},  {3, 5, 0},  {1, 1, 1},  {1, 7, 7},   {1, 8, 8},   {1, 9, 9},
    {1, 33, 33}, {2, 7, 9}, {3, 9, 8},  {4, 8, 33}, {5, 33, 7},  {7, 1, 65},  {9, 3, 100},
    {8, 33, 24}, {1, 5, 130}, {6, 4, 49}, {5, 300, 37}, {1, 257, 9},
    // Column panels of single rows: whole, one past, a ragged last panel, and a
    // second row, which reads b in its own layout.
    {1, 3, 64}, {1, 4, 65}, {1, 3, 96}, {1, 4, 97}, {1, 6, 161}, {1, 2, 200}, {1, 5, 300},
    {2, 4, 70},
};

std::vector<float> small_integers(size_t count, std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(-8, 8);
  std::vector<float> values(count);
  for (auto& v : values) v = static_cast<float>(pick(rng));
  return values;
}

// With small integers every product and partial sum is exact, so the expected value
// is the plain sum, and both paths must give it exactly.
TEST(AccumulateProduct, BothPathsGiveTheExactSumOfSmallIntegers) {
  std::mt19937 rng(7);
  for (const Size& s : kSizes) {
    SCOPED_TRACE(size_name(s));
    const auto a = small_integers(s.m * s.k, rng);
    const auto b = small_integers(s.k * s.n, rng);
    const auto prior = small_integers(s.m * s.n, rng);
    std::vector<float> expected(prior);
    for (uint64_t i = 0; i < s.m; ++i) {
      for (uint64_t j = 0; j < s.n; ++j) {
        int64_t sum = static_cast<int64_t>(prior[i * s.n + j]);
        for (uint64_t p = 0; p < s.k; ++p) {
          sum += static_cast<int64_t>(a[i * s.k + p]) * static_cast<int64_t>(b[p * s.n + j]);
        }
        expected[i * s.n + j] = static_cast<float>(sum);
      }
    }
    for (Path path : {Path::Fused, Path::Portable}) {
      if (path == Path::Fused && !processor_has_fma()) continue;
      SCOPED_TRACE(path == Path::Fused ? "fused" : "portable");
      PathGuard guard(path);
      const auto panels = wd::RowPanels::arrange(b, s.k, s.n);
      const wd::RowPanels* const layouts[] = {nullptr, panels.get()};
      for (const wd::RowPanels* layout : layouts) {
        SCOPED_TRACE(layout ? "panels" : "rows");
        GuardedOutput out(prior);
        accumulate_product(a, b, s.m, s.k, s.n, out.out(), layout);
        EXPECT_TRUE(out.guards_intact());
        EXPECT_EQ(std::vector<float>(out.out().begin(), out.out().end()), expected);
      }
    }
  }
}

// (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24. Rounded to single precision the product loses
// its last term (a tie, rounded to even), so after adding -(1 + 2^-11) the separately
// rounded step leaves 0 while the fused step leaves exactly 2^-24.
TEST(AccumulateProduct, RoundingOfOneStepFollowsThePath) {
  const float x = 1.0f + std::ldexp(1.0f, -12);
  const float prior = -(1.0f + std::ldexp(1.0f, -11));
  for (uint64_t n : {1, 7, 8, 9, 33}) {
    SCOPED_TRACE(n);
    const std::vector<float> a = {x};
    const std::vector<float> b(n, x);
    for (Path path : {Path::Fused, Path::Portable}) {
      if (path == Path::Fused && !processor_has_fma()) continue;
      PathGuard guard(path);
      GuardedOutput out(std::vector<float>(n, prior));
      accumulate_product(a, b, 1, 1, n, out.out());
      EXPECT_TRUE(out.guards_intact());
      const float expected = path == Path::Fused ? std::ldexp(1.0f, -24) : 0.0f;
      for (float v : out.out()) EXPECT_EQ(v, expected);
    }
  }
}

// The prior value comes first and the terms follow in ascending inner index. Row 0:
// 0 + 1e8 - 1e8 + 1 = 1, where the descending order would absorb the 1 into -1e8 and
// give 0. Row 1: 1e8 - 1e8 + 1 + 0 = 1, where adding the prior value last would give
// (-1e8 + 1) + 1e8 = 0.
TEST(AccumulateProduct, PriorValueThenTermsInAscendingOrder) {
  const std::vector<float> a = {1e8f, -1e8f, 1.0f, -1e8f, 1.0f, 0.0f};  // 2 x 3
  for (uint64_t n : {1, 8, 9, 33}) {
    SCOPED_TRACE(n);
    const std::vector<float> b(3 * n, 1.0f);
    std::vector<float> prior(2 * n, 0.0f);
    std::fill(prior.begin() + n, prior.end(), 1e8f);
    for (Path path : {Path::Fused, Path::Portable}) {
      if (path == Path::Fused && !processor_has_fma()) continue;
      PathGuard guard(path);
      GuardedOutput out(prior);
      accumulate_product(a, b, 2, 3, n, out.out());
      EXPECT_TRUE(out.guards_intact());
      for (float v : out.out()) EXPECT_EQ(v, 1.0f);
    }
  }
}

// General data: each path matches a direct evaluation of its documented rule, an
// element at a time, bit for bit, with b in its own layout and set out in panels.
TEST(AccumulateProduct, EachPathMatchesItsRoundingRuleOnGeneralData) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> pick(-1.0f, 1.0f);
  auto random = [&](size_t count) {
    std::vector<float> values(count);
    for (auto& v : values) v = pick(rng);
    return values;
  };
  for (const Size& s : kSizes) {
    SCOPED_TRACE(size_name(s));
    const auto a = random(s.m * s.k);
    const auto b = random(s.k * s.n);
    const auto prior = random(s.m * s.n);
    for (Path path : {Path::Fused, Path::Portable}) {
      if (path == Path::Fused && !processor_has_fma()) continue;
      SCOPED_TRACE(path == Path::Fused ? "fused" : "portable");
      std::vector<float> expected(prior);
      for (uint64_t i = 0; i < s.m; ++i) {
        for (uint64_t j = 0; j < s.n; ++j) {
          float acc = prior[i * s.n + j];
          for (uint64_t p = 0; p < s.k; ++p) {
            const float x = a[i * s.k + p];
            const float y = b[p * s.n + j];
            if (path == Path::Fused) {
              acc = std::fma(x, y, acc);
            } else {
              volatile float product = x * y;
              acc = product + acc;
            }
          }
          expected[i * s.n + j] = acc;
        }
      }
      PathGuard guard(path);
      const auto panels = wd::RowPanels::arrange(b, s.k, s.n);
      const wd::RowPanels* const layouts[] = {nullptr, panels.get()};
      for (const wd::RowPanels* layout : layouts) {
        SCOPED_TRACE(layout ? "panels" : "rows");
        GuardedOutput out(prior);
        accumulate_product(a, b, s.m, s.k, s.n, out.out(), layout);
        EXPECT_TRUE(out.guards_intact());
        EXPECT_EQ(std::vector<float>(out.out().begin(), out.out().end()), expected);
      }
    }
  }
}

TEST(AccumulateProduct, SlicesThatDoNotMatchTheSizesAreAnInternalFault) {
  const std::vector<float> six(6, 1.0f);
  std::vector<float> four(4, 0.0f);
  std::vector<float> nine(9, 0.0f);
  struct Case {
    const char* name;
    std::span<const float> a, b;
    uint64_t m, k, n;
    std::span<float> out;
  };
  const Case cases[] = {
      {"a too short", std::span(six).first(5), six, 2, 3, 2, four},
      {"a too long", six, std::span(six).first(3), 1, 3, 1, std::span(four).first(1)},
      {"b too short", six, std::span(six).first(5), 2, 3, 2, four},
      {"out too long", six, six, 2, 3, 2, std::span(nine).first(5)},
      {"out too short", six, six, 2, 3, 2, std::span(four).first(3)},
      {"m * k overflows to the slice length", {}, {}, uint64_t{1} << 63, 2, 0, {}},
      {"k * n overflows to the slice length", {}, {}, 0, uint64_t{1} << 32, uint64_t{1} << 32,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(accumulate_product(c.a, c.b, c.m, c.k, c.n, c.out), wd::InternalFault);
  }
}

TEST(AccumulateProduct, PanelsOfAnotherMatrixAreAnInternalFault) {
  if (!processor_has_fma()) GTEST_SKIP() << "panels are set out only for the fused path";
  const std::vector<float> six(6, 1.0f);
  std::vector<float> out(3, 0.0f);
  const auto transposed = wd::RowPanels::arrange(six, 3, 2);
  EXPECT_THROW(accumulate_product(std::span(six).first(2), six, 1, 2, 3, out, transposed.get()),
               wd::InternalFault);
}

TEST(RowPanels, SetOutEachPanelsRowsInTurnPaddedToWholeVectors) {
  if (!processor_has_fma()) GTEST_SKIP() << "panels are set out only for the fused path";
  // 2 x (P + 6): a whole panel of P columns, then one of 6 columns padded to 8.
  constexpr uint64_t P = wd::RowPanels::kPanelColumns;
  constexpr uint64_t n = P + 6;
  std::vector<float> b(2 * n);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>(i + 1);
  const auto panels = wd::RowPanels::arrange(b, 2, n);
  ASSERT_NE(panels, nullptr);
  const std::vector<float>& v = panels->values();
  ASSERT_EQ(v.size(), 2 * P + 2 * 8);
  EXPECT_EQ(wd::RowPanels::padded_values(2, n), v.size());
  EXPECT_EQ(v[0], b[0]);              // row 0, column 0
  EXPECT_EQ(v[P - 1], b[P - 1]);      // row 0, column P - 1
  EXPECT_EQ(v[P], b[n]);              // row 1, column 0
  EXPECT_EQ(v[2 * P], b[P]);          // last panel: row 0, column P
  EXPECT_EQ(v[2 * P + 5], b[n - 1]);  // row 0, last column
  EXPECT_EQ(v[2 * P + 6], 0.0f);      // padding
  EXPECT_EQ(v[2 * P + 8], b[n + P]);  // row 1, column P
  EXPECT_EQ(v[2 * P + 15], 0.0f);
}

}  // namespace
