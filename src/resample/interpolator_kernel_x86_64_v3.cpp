// Interpolation kernel, x86-64-v3 (AVX2) variant: 4 lanes, built with -march=x86-64-v3.
#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_x86_64_v3 {

typedef double VecD __attribute__((vector_size(32), aligned(8)));
constexpr int kLanes = 4;
constexpr int kAccPerPhase = 1;

#include "resample/interpolator_kernel.inl"

}  // namespace isa_x86_64_v3
}  // namespace

void interpolateKernelX86_64_V3(const double* taps, int paddedTaps, int ratio,
                                const double* frames, int q0, int q1, double gain,
                                double* out) {
  isa_x86_64_v3::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
