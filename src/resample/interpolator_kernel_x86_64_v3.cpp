// Interpolation kernel, x86-64-v3 (AVX2) variant: 4 lanes, built with -march=x86-64-v3.
#include <immintrin.h>

#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_x86_64_v3 {

typedef __m256d VecD;
constexpr int kLanes = 4;
constexpr int kAccPerPhase = 3;
constexpr int kPhasesPerPass = 4;

inline VecD zeroVec() { return _mm256_setzero_pd(); }
inline VecD loadVec(const double* p) { return _mm256_loadu_pd(p); }
inline void storeVec(double* p, VecD v) { _mm256_storeu_pd(p, v); }
inline VecD broadcastVec(const double* p) { return _mm256_broadcast_sd(p); }
inline VecD mulVec(VecD a, VecD b) { return _mm256_mul_pd(a, b); }
// The compiler keeps one broadcast per phase in a register.
inline VecD mulByTap(VecD x, const double* tap) { return mulVec(x, broadcastVec(tap)); }
inline VecD addVec(VecD a, VecD b) { return _mm256_add_pd(a, b); }

#include "resample/interpolator_kernel.inl"

}  // namespace isa_x86_64_v3
}  // namespace

void interpolateKernelX86_64_V3(const double* taps, int paddedTaps, int ratio,
                                const double* frames, int q0, int q1, double gain,
                                double* out) {
  isa_x86_64_v3::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
