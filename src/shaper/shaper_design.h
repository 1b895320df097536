// Seventh-order noise-shaper design.
//
// NTF(z) = H1(z) / D(z): a zero at DC, three conjugate zero pairs on the
// unit circle at angles (pi / divisor) * zero, and a sevenfold pole. The
// coefficients are computed in a fixed evaluation order; the modulator's
// output bits depend on every last bit of them.
#pragma once

namespace pulsemill {

struct ShaperCoefficients {
  double forward[7] = {};   // b(k+1) - h(k+1): weights of the state in the quantiser input
  double feedback[7] = {};  // -b(k+1): weights of the state in the state recursion
};

struct ShaperPattern {
  int number;          // 1 .. 5
  double zero1, zero2, zero3;  // zero positions as fractions of the band
  double pole;         // 0.85 for every pattern
  const char* line;    // printed when the pattern is chosen
};

// Patterns 1, 3, 4 and 5 select their own row, every other number pattern
// 2. Prints the row's line on standard output.
const ShaperPattern& selectShaperPattern(int patternNumber);

// Fills `coefficients`. With debug non-zero prints the eight diagnostic lines
// and writes the plotting script "%s7ThNoiseShaper.sce".
void designNoiseShaper(double zero1, double zero2, double zero3, double pole,
                       ShaperCoefficients& coefficients, int divisor,
                       int debug);

}  // namespace pulsemill
