// Rate shapers: seventh-order noise shapers designed for the output rate.
//
// The fixed patterns (shaper_design.h) keep their zeros at the same
// fraction of the output rate, so at higher rates they spread over 2x, 4x
// the audio band. A rate shaper's zeros cover a design band in Hz chosen
// for its rate, and its poles hold the out-of-band gain at 1.35 to 1.45.
// The rows are designed offline by tools/design_rate_shaper.py (which
// documents the method) and kept as exact doubles: the output bits depend
// on every one.
// They run in the same modulator as the patterns.
#pragma once

#include <cstdint>

#include "shaper/modulator.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

struct RateShaper {
  std::uint32_t rate;  // the output rate it was designed for, Hz
  std::uint32_t band;  // its design band at that rate, Hz
  double forward[7];
  double feedback[7];
};

// The row for `outputRate`: the one of the highest rate at or below it (the
// lowest row below all rows). Every DSD64-512 rate of the 44.1 and 48 kHz
// families has its own row.
const RateShaper& selectRateShaper(std::uint32_t outputRate);

// The row's band in Hz at `outputRate` (the zeros sit at fixed fractions of
// the rate, so between rows the band scales with it), rounded down.
std::uint32_t rateShaperBand(const RateShaper& row, std::uint32_t outputRate);

// The modulator's coefficients of `row`; with diagnostics enabled prints
// its NTF's polynomials and writes the ShaperScript (reportShaperPolynomials).
ShaperCoefficients rateShaperCoefficients(const RateShaper& row, const Diagnostics& diagnostics);

// The row's overload guard at `outputRate`. The state recursion w = e +
// (b1 w[n-1] + ... + b7 w[n-7]) (b the feedback weights) has an impulse
// response h; a quantiser error of at most 0.5 can build a state of at most
// 0.5 x sum |h|, which is the limit (rounded down to a whole number). A
// stable loop stays below 0.3 x sum |h| even at full scale, while an
// unstable one passes any bound within a few samples. minCalmSamples is one
// millisecond at the output rate: an isolated overload (an intersample peak
// of a limited master) restarts the loop once, a sustained one again within
// tens of samples.
OverloadGuard rateShaperGuard(const RateShaper& row, std::uint32_t outputRate);

}  // namespace pulsemill
