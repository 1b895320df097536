// Diagnostic gain response of the final kernel (debug switch only).
#pragma once

#include <cstdint>

#include "base/diagnostics.h"

namespace pulsemill {

// gain[i] = 10 * log10(|DTFT of kernel at 2*pi*i/N|^2) for i = 0 .. N/2 - 1,
// in dB, with the sum over the taps in increasing order.
void computeGainResponseValues(const double* kernel, std::int32_t tapCount,
                               double* gain);

// With diagnostics enabled computes the response and dumps it as the
// GainResponse diagnostic; otherwise does nothing at all.
void computeGainResponse(const double* kernel, std::int32_t tapCount,
                         const Diagnostics& diagnostics);

}  // namespace pulsemill
