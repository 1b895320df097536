// Interpolation filter, first steps: the sampled ideal low-pass response and
// its inverse transform, centred into the kernel.
//
// Conventions: N is the tap count (a power of two, 2048 .. 65536); rates and
// band edges are integers in Hz; arrays hold N doubles and are owned by the
// caller. The summation order of the inverse transform defines the taps (and
// so every output bit); the parallel loops give the same bits for any thread
// count.
#pragma once

#include <cstdint>

#include "base/diagnostics.h"
#include "base/kernel_isa.h"
#include "base/status.h"

namespace pulsemill {

// Stop-band level of the sampled response, pow(10, -10).
double stopBandLevel();

// Fills `response` (N doubles): entry j < N/2 samples frequency
// (j + 1) * outputRate / N (1.0 in the pass band lowerEdge < f < upperEdge,
// else the stop-band level); the second half mirrors the first about
// (N - 1) / 2. The output rate is unsigned: 8388607 Hz x 512 still fits.
void buildIdealResponse(std::uint32_t outputRate, std::int32_t lowerEdge,
                        std::int32_t upperEdge, double* response,
                        std::int32_t tapCount);

// Inverse cosine DFT of `response` with 1/N scaling, t[i] for i = 0 .. N/2,
// centred into `kernel` (N doubles): kernel[N/2 +- d] = t[d], kernel[0] =
// t[N/2]; the transform runs with the variant `isa`. Dumps the kernel as the
// ImpulseResponse diagnostic. OutOfMemory when a work array cannot be
// allocated (kernel untouched).
Status computeImpulseResponse(const double* response, double* kernel,
                              std::int32_t tapCount, KernelIsa isa,
                              const Diagnostics& diagnostics);

// The plain loop of the transform (one sequential sum per output), kept as
// the reference the fast path is tested against: t[i] for i = 0 .. N/2.
void inverseTransformReference(const double* cosTable, const double* response,
                               double* t, std::int32_t tapCount);

// The fast path: the same sums, several outputs interleaved per pass and the
// outputs spread over the threads. Bit-identical to the reference. `isa`
// picks the variant (x86-64-v4 gathers the table; the others run eight
// scalar chains); an unsupported one falls back to the portable variant.
void inverseTransform(const double* cosTable, const double* response,
                      double* t, std::int32_t tapCount, KernelIsa isa);

// ct[k] = cos((k * 6.283185307179586) / N) for k = 0 .. N-1.
void fillCosineTable(double* cosTable, std::int32_t tapCount);

}  // namespace pulsemill
