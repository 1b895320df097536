// Seventh-order noise-shaper design.
//
// NTF(z) = H1(z) / D(z): a zero at DC, three conjugate zero pairs on the
// unit circle at angles (pi / divisor) * zero, and a sevenfold pole. The
// coefficients are computed in a fixed evaluation order; the modulator's
// output bits depend on every last bit of them.
#pragma once

#include "base/diagnostics.h"

namespace pulsemill {

struct ShaperCoefficients {
  double forward[7] = {};   // b(k+1) - h(k+1): weights of the state in the quantiser input
  double feedback[7] = {};  // -b(k+1): weights of the state in the state recursion
};

struct ShaperPattern {
  int number;          // 1 .. 5
  double zero1, zero2, zero3;  // zero positions as fractions of the band
  double pole;         // 0.85 for every pattern
  int angleDivisor;    // 64 for every pattern: zero k lies at (pi / 64) * zerok
  const char* line;    // printed when the pattern is chosen
};

// Patterns 1, 3, 4 and 5 select their own row, every other number pattern
// 2. The run prints the row's `line` after the parameter line.
const ShaperPattern& selectShaperPattern(int patternNumber);

// The run's shaper: the design of `pattern` (zeros, pole and divisor).
ShaperCoefficients designShaper(const ShaperPattern& pattern,
                                const Diagnostics& diagnostics);

// Fills `coefficients` for any zeros, pole and divisor. With diagnostics
// enabled prints the eight diagnostic lines and writes the ShaperScript.
void designNoiseShaper(double zero1, double zero2, double zero3, double pole,
                       ShaperCoefficients& coefficients, int divisor,
                       const Diagnostics& diagnostics);

// With diagnostics enabled: the "A:" (numerator H, after its leading 1) and
// "B:" (denominator D) lines and the ShaperScript of NTF = H / D; `s` gives
// the three zero pairs' 2 cos(theta) for a factored H1, or is null.
void reportShaperPolynomials(const double* s, const double h[7], const double b[7],
                             const Diagnostics& diagnostics);

}  // namespace pulsemill
