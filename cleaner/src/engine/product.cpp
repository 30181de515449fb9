#include "product.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include <immintrin.h>

#include "result.h"

namespace wd {
namespace {

// Both paths keep a block of up to kMaxRows output rows by a run of columns in
// registers for the whole inner loop, so out is read and written once per block
// rather than once per term. The column run per row count keeps about twelve
// accumulators live: enough independent chains to hide the multiply-add latency,
// few enough to leave registers for the broadcasts of a.
constexpr int kMaxRows = 4;
constexpr std::array<int, kMaxRows> kVectorsPerRowCount = {8, 6, 4, 3};

// ---------------------------------------------------------------------------
// Processor feature report

// The compiler's feature report counts AVX2 and FMA only where the operating system also
// saves the YMM registers, as the Conv and GRU kernels rely on too.
bool cached_processor_fuses() {
  static const bool fuses = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return fuses;
}

std::atomic<bool> portable_forced{false};

// ---------------------------------------------------------------------------
// Fused path: 8-lane vectors, one rounding per term.

// Lanes below `count` (1 to 8) enabled.
__attribute__((target("avx2,fma"))) __m256i lane_mask(uint64_t count) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
}

// Rows x width block of out, width being Vectors * 8 or, with Tail, less: then the
// lanes past the width in the last vector are neither read nor written.
template <int Rows, int Vectors, bool Tail>
__attribute__((target("avx2,fma"))) void fused_block(const float* a, uint64_t k, uint64_t depth,
                                                     const float* b, uint64_t n, float* out,
                                                     uint64_t width) {
  const __m256i mask = lane_mask(Tail ? width - (Vectors - 1) * 8 : 8);
  __m256 acc[Rows][Vectors];
#pragma GCC unroll 8
  for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      float* at = out + r * n + v * 8;
      acc[r][v] = (Tail && v == Vectors - 1) ? _mm256_maskload_ps(at, mask) : _mm256_loadu_ps(at);
    }
  }
  for (uint64_t p = 0; p < depth; ++p) {
    const float* row = b + p * n;
    __m256 bv[Vectors];
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      bv[v] = (Tail && v == Vectors - 1) ? _mm256_maskload_ps(row + v * 8, mask)
                                         : _mm256_loadu_ps(row + v * 8);
    }
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
      const __m256 t = _mm256_broadcast_ss(a + r * k + p);
#pragma GCC unroll 8
      for (int v = 0; v < Vectors; ++v) acc[r][v] = _mm256_fmadd_ps(t, bv[v], acc[r][v]);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
      float* at = out + r * n + v * 8;
      if (Tail && v == Vectors - 1) {
        _mm256_maskstore_ps(at, mask, acc[r][v]);
      } else {
        _mm256_storeu_ps(at, acc[r][v]);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Portable path: 4-lane vectors of the compiler's generic vector extension (SSE2 on
// x86-64), product and sum rounded separately. The engine is compiled without
// floating-point contraction, so `t * b + acc` stays two operations.

typedef float Lanes4 __attribute__((vector_size(16)));

Lanes4 load4(const float* from) {
  Lanes4 v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

void store4(float* to, Lanes4 v) { std::memcpy(to, &v, sizeof v); }

// Rows x width block of out: Vectors * 4 columns in vectors, then the rest (0 to 3) as
// single columns.
template <int Rows, int Vectors>
void portable_block(const float* a, uint64_t k, uint64_t depth, const float* b, uint64_t n,
                    float* out, uint64_t width) {
  const uint64_t tail = width - Vectors * 4;
  Lanes4 acc[Rows][Vectors];
  float single[Rows][3];
#pragma GCC unroll 8
  for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) acc[r][v] = load4(out + r * n + v * 4);
    for (uint64_t c = 0; c < tail; ++c) single[r][c] = out[r * n + Vectors * 4 + c];
  }
  for (uint64_t p = 0; p < depth; ++p) {
    const float* row = b + p * n;
    Lanes4 bv[Vectors];
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) bv[v] = load4(row + v * 4);
#pragma GCC unroll 8
    for (int r = 0; r < Rows; ++r) {
      const float t = a[r * k + p];
      const Lanes4 tv = {t, t, t, t};
#pragma GCC unroll 8
      for (int v = 0; v < Vectors; ++v) acc[r][v] = tv * bv[v] + acc[r][v];
      for (uint64_t c = 0; c < tail; ++c) single[r][c] = t * row[Vectors * 4 + c] + single[r][c];
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) store4(out + r * n + v * 4, acc[r][v]);
    for (uint64_t c = 0; c < tail; ++c) out[r * n + Vectors * 4 + c] = single[r][c];
  }
}

// ---------------------------------------------------------------------------
// Block tables and the walk over blocks shared by both paths.

using BlockFn = void (*)(const float*, uint64_t, uint64_t, const float*, uint64_t, float*,
                        uint64_t);

// [rows - 1][vectors], vectors from 0 to the row count's maximum. The fused tables
// leave entry 0 empty; the portable entry 0 is a run of fewer than four single columns.
template <int Rows, bool Tail, int... V>
constexpr std::array<BlockFn, 9> fused_row(std::integer_sequence<int, V...>) {
  std::array<BlockFn, 9> fns{};
  ((fns[V + 1] = &fused_block<Rows, V + 1, Tail>), ...);
  return fns;
}

template <int Rows, int... V>
constexpr std::array<BlockFn, 9> portable_row(std::integer_sequence<int, V...>) {
  std::array<BlockFn, 9> fns{};
  ((fns[V] = &portable_block<Rows, V>), ...);
  return fns;
}

template <bool Tail>
constexpr std::array<std::array<BlockFn, 9>, kMaxRows> fused_table() {
  return {fused_row<1, Tail>(std::make_integer_sequence<int, kVectorsPerRowCount[0]>{}),
          fused_row<2, Tail>(std::make_integer_sequence<int, kVectorsPerRowCount[1]>{}),
          fused_row<3, Tail>(std::make_integer_sequence<int, kVectorsPerRowCount[2]>{}),
          fused_row<4, Tail>(std::make_integer_sequence<int, kVectorsPerRowCount[3]>{})};
}

constexpr std::array<std::array<BlockFn, 9>, kMaxRows> portable_table() {
  return {portable_row<1>(std::make_integer_sequence<int, kVectorsPerRowCount[0] + 1>{}),
          portable_row<2>(std::make_integer_sequence<int, kVectorsPerRowCount[1] + 1>{}),
          portable_row<3>(std::make_integer_sequence<int, kVectorsPerRowCount[2] + 1>{}),
          portable_row<4>(std::make_integer_sequence<int, kVectorsPerRowCount[3] + 1>{})};
}

constexpr auto kFusedFull = fused_table<false>();
constexpr auto kFusedTail = fused_table<true>();
constexpr auto kPortable = portable_table();

// Walks out in blocks of rows by column runs, over the inner index in slices of
// kDepth: a slice of b small enough to stay in the first-level cache serves every row
// block before the next slice is read. Each element still receives its terms in
// ascending inner index, the accumulator passing through out between slices.
constexpr uint64_t kDepth = 128;

template <int Lanes, typename Full, typename Tail>
void walk_blocks(const float* a, const float* b, uint64_t m, uint64_t k, uint64_t n, float* out,
                 Full full, Tail tail) {
  for (uint64_t p = 0; p < k; p += kDepth) {
    const uint64_t depth = std::min(kDepth, k - p);
    for (uint64_t i = 0; i < m; i += kMaxRows) {
      const uint64_t rows = std::min<uint64_t>(kMaxRows, m - i);
      const uint64_t run = uint64_t(kVectorsPerRowCount[rows - 1]) * Lanes;
      const float* a_rows = a + i * k + p;
      const float* b_rows = b + p * n;
      float* out_rows = out + i * n;
      uint64_t j = 0;
      for (; n - j >= run; j += run) {
        full(rows, run / Lanes)(a_rows, k, depth, b_rows + j, n, out_rows + j, run);
      }
      if (j < n) tail(rows, n - j)(a_rows, k, depth, b_rows + j, n, out_rows + j, n - j);
    }
  }
}

// Terms consecutive rows of b, from `rows` on, into every element of a single row of
// out, each element taking its terms in ascending inner index before it is stored.
template <int Terms>
__attribute__((target("avx2,fma"))) void fused_row_terms(const float* a, const float* rows,
                                                         uint64_t n, float* out) {
  __m256 t[Terms];
#pragma GCC unroll 8
  for (int r = 0; r < Terms; ++r) t[r] = _mm256_broadcast_ss(a + r);
  const uint64_t whole = n - n % 8;
  for (uint64_t j = 0; j < whole; j += 8) {
    __m256 acc = _mm256_loadu_ps(out + j);
#pragma GCC unroll 8
    for (int r = 0; r < Terms; ++r) {
      acc = _mm256_fmadd_ps(t[r], _mm256_loadu_ps(rows + r * n + j), acc);
    }
    _mm256_storeu_ps(out + j, acc);
  }
  if (whole == n) return;
  const __m256i mask = lane_mask(n - whole);
  __m256 acc = _mm256_maskload_ps(out + whole, mask);
#pragma GCC unroll 8
  for (int r = 0; r < Terms; ++r) {
    acc = _mm256_fmadd_ps(t[r], _mm256_maskload_ps(rows + r * n + whole, mask), acc);
  }
  _mm256_maskstore_ps(out + whole, mask, acc);
}

// A single row of a (a vector times a matrix, as in every recurrent step): no value
// of b is used twice, so rather than blocks of columns walked down b, b is read in its
// memory order, a few rows at a time across the whole width, and out (one row) stays
// in the first-level cache.
constexpr uint64_t kRowTerms = 4;

void fused_single_row(const float* a, const float* b, uint64_t k, uint64_t n, float* out) {
  uint64_t p = 0;
  for (; k - p >= kRowTerms; p += kRowTerms) fused_row_terms<kRowTerms>(a + p, b + p * n, n, out);
  for (; p < k; ++p) fused_row_terms<1>(a + p, b + p * n, n, out);
}

// One panel of b times a single row of a, the panel `Vectors` 8-lane column runs wide
// (`width` columns, the lanes past it padding): each run's accumulator holds its
// element from the prior value through all k terms without passing through memory.
template <int Vectors>
__attribute__((target("avx2,fma"))) void panel_row(const float* a, const float* panel,
                                                   uint64_t k, float* out, uint64_t width) {
  const __m256i mask = lane_mask(width - (Vectors - 1) * 8);
  __m256 acc[Vectors];
#pragma GCC unroll 16
  for (int v = 0; v < Vectors - 1; ++v) acc[v] = _mm256_loadu_ps(out + v * 8);
  acc[Vectors - 1] = _mm256_maskload_ps(out + (Vectors - 1) * 8, mask);
  for (uint64_t p = 0; p < k; ++p) {
    const __m256 t = _mm256_broadcast_ss(a + p);
#pragma GCC unroll 16
    for (int v = 0; v < Vectors; ++v) {
      acc[v] = _mm256_fmadd_ps(t, _mm256_loadu_ps(panel + v * 8), acc[v]);
    }
    panel += Vectors * 8;
  }
#pragma GCC unroll 16
  for (int v = 0; v < Vectors - 1; ++v) _mm256_storeu_ps(out + v * 8, acc[v]);
  _mm256_maskstore_ps(out + (Vectors - 1) * 8, mask, acc[Vectors - 1]);
}

using PanelFn = void (*)(const float*, const float*, uint64_t, float*, uint64_t);

template <int... V>
constexpr std::array<PanelFn, sizeof...(V) + 1> panel_table(std::integer_sequence<int, V...>) {
  return {nullptr, &panel_row<V + 1>...};
}

constexpr uint64_t kPanelVectors = RowPanels::kPanelColumns / 8;
constexpr auto kPanelRows = panel_table(std::make_integer_sequence<int, kPanelVectors>{});

// Vectors of the panel that starts at column j.
uint64_t panel_vectors(uint64_t j, uint64_t n) {
  return (std::min(RowPanels::kPanelColumns, n - j) + 7) / 8;
}

void panel_single_row(const float* a, const RowPanels& b, float* out) {
  const float* panel = b.values().data();
  for (uint64_t j = 0; j < b.n(); j += RowPanels::kPanelColumns) {
    const uint64_t vectors = panel_vectors(j, b.n());
    kPanelRows[vectors](a, panel, b.k(), out + j, std::min(RowPanels::kPanelColumns, b.n() - j));
    panel += b.k() * vectors * 8;
  }
}

void fused_product(const float* a, const float* b, uint64_t m, uint64_t k, uint64_t n,
                   float* out) {
  if (m == 1) return fused_single_row(a, b, k, n, out);
  walk_blocks<8>(
      a, b, m, k, n, out,
      [](uint64_t rows, uint64_t vectors) { return kFusedFull[rows - 1][vectors]; },
      [](uint64_t rows, uint64_t width) {
        return (width % 8 == 0 ? kFusedFull : kFusedTail)[rows - 1][(width + 7) / 8];
      });
}

void portable_product(const float* a, const float* b, uint64_t m, uint64_t k, uint64_t n,
                      float* out) {
  walk_blocks<4>(
      a, b, m, k, n, out,
      [](uint64_t rows, uint64_t vectors) { return kPortable[rows - 1][vectors]; },
      [](uint64_t rows, uint64_t width) { return kPortable[rows - 1][width / 4]; });
}

bool product_size(uint64_t x, uint64_t y, uint64_t expected) {
  uint64_t size = 0;
  return !__builtin_mul_overflow(x, y, &size) && size == expected;
}

}  // namespace

std::shared_ptr<const RowPanels> RowPanels::arrange(std::span<const float> b, uint64_t k,
                                                    uint64_t n) {
  if (!product_size(k, n, b.size())) {
    internal_fault("panels of a matrix that does not match its sizes");
  }
  if (!cached_processor_fuses()) return nullptr;
  std::vector<float> values(padded_values(k, n), 0.0f);
  float* to = values.data();
  for (uint64_t j = 0; j < n; j += kPanelColumns) {
    const uint64_t width = std::min(kPanelColumns, n - j);
    const uint64_t stride = panel_vectors(j, n) * 8;
    for (uint64_t p = 0; p < k; ++p, to += stride) {
      std::copy_n(b.data() + p * n + j, width, to);
    }
  }
  return std::shared_ptr<const RowPanels>(new RowPanels(k, n, std::move(values)));
}

uint64_t RowPanels::padded_values(uint64_t k, uint64_t n) {
  const uint64_t whole = n / kPanelColumns * kPanelColumns;
  return k * (whole + (n - whole + 7) / 8 * 8);
}

void accumulate_product(std::span<const float> a, std::span<const float> b, uint64_t m,
                        uint64_t k, uint64_t n, std::span<float> out, const RowPanels* panels) {
  if (!product_size(m, k, a.size()) || !product_size(k, n, b.size()) ||
      !product_size(m, n, out.size())) {
    internal_fault("matrix product with slices that do not match its sizes");
  }
  if (panels != nullptr && (panels->k() != k || panels->n() != n)) {
    internal_fault("matrix product with panels of another matrix");
  }
  if (m == 0 || k == 0 || n == 0) return;
  if (!portable_forced.load(std::memory_order_relaxed) && cached_processor_fuses()) {
    if (m == 1 && panels != nullptr) return panel_single_row(a.data(), *panels, out.data());
    fused_product(a.data(), b.data(), m, k, n, out.data());
  } else {
    portable_product(a.data(), b.data(), m, k, n, out.data());
  }
}

namespace testing {
void force_portable_product(bool force) { portable_forced.store(force, std::memory_order_relaxed); }
}  // namespace testing

}  // namespace wd
