// Entry points of the per-ISA interpolation kernels (internal to resample/).
#pragma once

#include "resample/interpolator_layout.h"

namespace pulsemill {

void interpolateKernelGeneric(const double* taps, int paddedTaps, int ratio,
                              const double* frames, int q0, int q1, double gain,
                              double* out);
void interpolateKernelX86_64_V3(const double* taps, int paddedTaps, int ratio,
                                const double* frames, int q0, int q1, double gain,
                                double* out);
void interpolateKernelX86_64_V4(const double* taps, int paddedTaps, int ratio,
                                const double* frames, int q0, int q1, double gain,
                                double* out);
void interpolateKernelX86_64_V4_256(const double* taps, int paddedTaps, int ratio,
                                    const double* frames, int q0, int q1, double gain,
                                    double* out);

}  // namespace pulsemill
