// Interpolation kernel, x86-64-v4 variant with 256-bit vectors: 4 lanes and
// the 32 vector registers of AVX-512VL (24 accumulators: 8 phases x 3 frame
// vectors per pass), built with -march=x86-64-v4 -mprefer-vector-width=256.
// Where 512-bit operations are split in two (AMD Zen 4, for one) this is the
// fastest variant.
#include <immintrin.h>

#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_x86_64_v4_256 {

typedef __m256d VecD;
constexpr int kLanes = 4;
constexpr int kAccPerPhase = 3;
constexpr int kPhasesPerPass = 8;

inline VecD zeroVec() { return _mm256_setzero_pd(); }
inline VecD loadVec(const double* p) { return _mm256_loadu_pd(p); }
inline void storeVec(double* p, VecD v) { _mm256_storeu_pd(p, v); }
inline VecD broadcastVec(const double* p) { return _mm256_broadcast_sd(p); }
inline VecD mulVec(VecD a, VecD b) { return _mm256_mul_pd(a, b); }
// The empty asm makes each tap's address opaque to the optimiser, so that
// it broadcasts each tap right before the phase's three multiplies instead
// of hoisting the eight broadcasts ahead of them: on AMD Zen 4 that
// schedule runs about 20% faster (27e9 against 22e9 multiply-adds per
// second at 32768 taps). The product is the same plain multiply.
inline VecD mulByTap(VecD x, const double* tap) {
  asm("" : "+r"(tap));
  return _mm256_mul_pd(x, _mm256_set1_pd(*tap));
}
inline VecD addVec(VecD a, VecD b) { return _mm256_add_pd(a, b); }

#include "resample/interpolator_kernel.inl"

}  // namespace isa_x86_64_v4_256
}  // namespace

void interpolateKernelX86_64_V4_256(const double* taps, int paddedTaps, int ratio,
                                    const double* frames, int q0, int q1, double gain,
                                    double* out) {
  isa_x86_64_v4_256::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
