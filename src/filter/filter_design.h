// The interpolation filter's design, start to end: the sampled ideal
// low-pass response, its inverse transform centred into the kernel, the
// Kaiser-type window and (with diagnostics) the gain response. The one entry
// point the run, the tests and the benchmarks all use.
#pragma once

#include <cstdint>
#include <vector>

#include "base/diagnostics.h"
#include "base/kernel_isa.h"
#include "base/status.h"

namespace pulsemill {

struct FilterParams {
  std::uint32_t inputRate = 0;  // Hz, 1 .. 8388607; the pass band ends at half of it
  int ratio = 0;                // L: the output rate is inputRate * L (64 .. 512)
  int tapCount = 0;             // N: a power of two, 2048 .. 65536, a multiple of L
  double kaiserAlpha = 10.0;    // window shape
  int threads = 0;              // the run's thread budget for the design's loops (0: the
                                // calling thread's OpenMP default)
};

// Fills `taps` with the N taps of the final kernel (peak at N/2), the
// transform run with the variant `isa`. Writes the ImpulseResponse,
// WindowedKernel and GainResponse diagnostics. OutOfMemory or
// AlphaOutOfRange on failure.
Status designInterpolationFilter(const FilterParams& filter, KernelIsa isa,
                                 const Diagnostics& diagnostics,
                                 std::vector<double>& taps);

}  // namespace pulsemill
