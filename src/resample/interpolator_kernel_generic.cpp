// Interpolation kernel, portable x86-64 (SSE2) variant: 2 lanes.
#include <cstddef>

#include "resample/interpolator_kernels.h"

namespace pulsemill {
namespace {
namespace isa_generic {

typedef double VecD __attribute__((vector_size(16), aligned(8)));
constexpr int kLanes = 2;
constexpr int kAccPerPhase = 1;

#include "resample/interpolator_kernel.inl"

}  // namespace isa_generic
}  // namespace

void interpolateKernelGeneric(const double* taps, int paddedTaps, int ratio,
                              const double* frames, int q0, int q1, double gain,
                              double* out) {
  isa_generic::interpolateKernel(taps, paddedTaps, ratio, frames, q0, q1, gain, out);
}

}  // namespace pulsemill
