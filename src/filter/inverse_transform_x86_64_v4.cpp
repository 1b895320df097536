// Inverse transform kernel, x86-64-v4 (AVX-512) variant, built with
// -march=x86-64-v4: 64 outputs per pass in eight vectors of eight lanes, the
// cosine table read with gathers (the table index of lane i advances by i
// per step, modulo n).
#include <immintrin.h>

#include "filter/inverse_transform_kernels.h"

namespace pulsemill {

void inverseTransformPassX86_64_V4(const double* cosTable, const double* response, double* t,
                                   std::uint32_t n, std::uint32_t first) {
  constexpr int kVectors = kTransformOutputsPerPassV4 / 8;
  const __m256i mask = _mm256_set1_epi32(static_cast<int>(n - 1));
  __m256i step[kVectors], index[kVectors];
  __m512d sum[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    const int base = static_cast<int>(first) + 8 * v;
    step[v] = _mm256_and_si256(_mm256_setr_epi32(base, base + 1, base + 2, base + 3, base + 4,
                                                 base + 5, base + 6, base + 7),
                               mask);
    index[v] = _mm256_setzero_si256();
    sum[v] = _mm512_setzero_pd();
  }
  for (std::uint32_t j = 0; j < n; ++j) {
    const __m512d x = _mm512_set1_pd(response[j]);
    for (int v = 0; v < kVectors; ++v) {
      const __m512d c =
          _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, index[v], cosTable, 8);
      sum[v] = _mm512_add_pd(sum[v], _mm512_mul_pd(c, x));
      index[v] = _mm256_and_si256(_mm256_add_epi32(index[v], step[v]), mask);
    }
  }
  const __m512d scale = _mm512_set1_pd(static_cast<double>(n));
  alignas(64) double result[kTransformOutputsPerPassV4];
  for (int v = 0; v < kVectors; ++v) _mm512_store_pd(result + 8 * v, _mm512_div_pd(sum[v], scale));
  for (int r = 0; r < kTransformOutputsPerPassV4; ++r) {
    if (first + static_cast<std::uint32_t>(r) <= n / 2) t[first + r] = result[r];
  }
}

}  // namespace pulsemill
