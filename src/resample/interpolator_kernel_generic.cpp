// Interpolation kernel, portable x86-64 (SSE2) variant: 2 lanes.
#include <emmintrin.h>

#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_generic {

typedef __m128d VecD;
constexpr int kLanes = 2;
constexpr int kAccPerPhase = 3;
constexpr int kPhasesPerPass = 4;

inline VecD zeroVec() { return _mm_setzero_pd(); }
inline VecD loadVec(const double* p) { return _mm_loadu_pd(p); }
inline void storeVec(double* p, VecD v) { _mm_storeu_pd(p, v); }
inline VecD broadcastVec(const double* p) { return _mm_load1_pd(p); }
inline VecD mulVec(VecD a, VecD b) { return _mm_mul_pd(a, b); }
// The compiler keeps one broadcast per phase in a register.
inline VecD mulByTap(VecD x, const double* tap) { return mulVec(x, broadcastVec(tap)); }
inline VecD addVec(VecD a, VecD b) { return _mm_add_pd(a, b); }

#include "resample/interpolator_kernel.inl"

}  // namespace isa_generic
}  // namespace

void interpolateKernelGeneric(const double* taps, int paddedTaps, int ratio,
                              const double* frames, int q0, int q1, double gain,
                              double* out) {
  isa_generic::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
