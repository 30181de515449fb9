// The engine's one matrix-product kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace wd {

// A constant b (k x n) laid out for single-row products on the fused path: the columns
// in panels of up to kPanelColumns, each panel holding its k rows one after another, so
// that a vector times b reads memory in one sequential stream and keeps each column
// run's accumulators in registers over the whole inner index. The last panel is
// padded with zeros to a whole number of 8-lane vectors.
class RowPanels {
 public:
  static constexpr uint64_t kPanelColumns = 96;

  // Null on processors without the fused path, which reads b in its own layout.
  static std::shared_ptr<const RowPanels> arrange(std::span<const float> b, uint64_t k,
                                                  uint64_t n);
  // The values the panels of a k x n matrix hold, padding included.
  static uint64_t padded_values(uint64_t k, uint64_t n);

  uint64_t k() const { return k_; }
  uint64_t n() const { return n_; }
  const std::vector<float>& values() const { return values_; }

 private:
  RowPanels(uint64_t k, uint64_t n, std::vector<float> values)
      : k_(k), n_(n), values_(std::move(values)) {}

  uint64_t k_;
  uint64_t n_;
  std::vector<float> values_;
};

// out (m x n) += a (m x k) * b (k x n), all row-major. Every element of out receives
// its prior value followed by the k terms in ascending order of the inner index:
// fused multiply-add on processors with AVX2 and FMA, multiply then add otherwise.
// Slice lengths must match the sizes exactly; a mismatch is an internal fault.
// `panels`, when given, must hold this same b; a single row of a then reads b from it.
void accumulate_product(std::span<const float> a, std::span<const float> b, uint64_t m,
                        uint64_t k, uint64_t n, std::span<float> out,
                        const RowPanels* panels = nullptr);

namespace testing {
// Forces the multiply-then-add path (for tests comparing the two paths).
void force_portable_product(bool force);
}  // namespace testing

}  // namespace wd
