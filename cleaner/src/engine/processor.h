// What the processor offers the kernels' vector paths, read once.
#pragma once

namespace wd {

// The compiler's feature report counts AVX2 and FMA only where the operating system
// also saves the YMM registers.
inline bool processor_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

inline bool processor_has_avx2_fma() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

}  // namespace wd
