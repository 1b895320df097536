// Interpolation kernel, x86-64-v4 (AVX-512) variant: 8 lanes, built with -march=x86-64-v4.
#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_x86_64_v4 {

typedef double VecD __attribute__((vector_size(64), aligned(8)));
constexpr int kLanes = 8;
constexpr int kAccPerPhase = 3;

#include "resample/interpolator_kernel.inl"

}  // namespace isa_x86_64_v4
}  // namespace

void interpolateKernelX86_64_V4(const double* taps, int paddedTaps, int ratio,
                                const double* frames, int q0, int q1, double gain,
                                double* out) {
  isa_x86_64_v4::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
