// Kaiser-type window of the interpolation filter.
//
// The window is (I0(x) - 1) / (I0(alpha) - 1): the Bessel series is summed
// without its constant term, so both end taps become exactly 0. Its centre
// lies at (N - 1) / 2, half a tap before the kernel's peak at N/2.
#pragma once

#include <cstdint>

#include "base/diagnostics.h"
#include "base/status.h"

namespace pulsemill {

// sum over k >= 1 of ((x/2)^k / k!)^2, stopped after the first squared term
// at or below 1e-12 (that term included), or as soon as the sum overflows.
double besselSeriesSum(double x);

// Multiplies the N taps of `kernel` in place by the window for `alpha` and
// dumps them as the WindowedKernel diagnostic. AlphaOutOfRange when the
// series of alpha is 0 or not finite, OutOfMemory when the window array
// cannot be allocated; the kernel is untouched then.
Status applyKaiserWindow(double* kernel, double alpha, std::int32_t tapCount,
                         const Diagnostics& diagnostics);

}  // namespace pulsemill
