#include "shaper/shaper_design.h"

#include <cmath>
#include <cstdio>


namespace pulsemill {

namespace {

const ShaperPattern kPatterns[] = {
    {1, 0.94, 0.73, 0.41, 0.85, 64, "NoiseShaper param Zero1=0.94, Zero2=0.73, Zero3=0.41\n\n"},
    {2, 0.95, 0.74, 0.42, 0.85, 64, "NoiseShaper param Zero1=0.95, Zero2=0.74, Zero3=0.42\n\n"},
    {3, 0.96, 0.76, 0.43, 0.85, 64, "NoiseShaper param Zero1=0.96, Zero2=0.76, Zero3=0.43\n\n"},
    {4, 0.97, 0.77, 0.43, 0.85, 64, "NoiseShaper param Zero1=0.97, Zero2=0.77, Zero3=0.43\n\n"},
    {5, 0.98, 0.78, 0.44, 0.85, 64, "NoiseShaper param Zero1=0.98, Zero2=0.78, Zero3=0.44\n\n"},
};

// The Scilab script: NTF = H1 / D, H1 given factored (three zero pairs)
// when `s` is not null, else as the expanded H.
void writePlotScript(const Diagnostics& diagnostics, const double* s, const double h[7],
                     const double b[7]) {
  std::FILE* file = diagnostics.createText(DiagnosticFile::ShaperScript);
  if (file == nullptr) return;
  std::fprintf(file, "z=%%z;\n");
  const char* polynomial =
      "=(1%+.15f*z^(-1)%+.15f*z^(-2)%+.15f*z^(-3)%+.15f*z^(-4)%+.15f*z^(-5)%+.15f*z^(-6)%+.15f*z^(-7));\n";
  if (s != nullptr) {
    std::fprintf(
        file,
        "H1=(1-z^(-1))*(1-%.8f*z^(-1)+z^(-2))*(1-%.8f*z^(-1)+z^(-2))*(1-%.8f*z^(-1)+z^(-2));\n",
        s[0], s[1], s[2]);
  } else {
    std::fputs("H1", file);
    std::fprintf(file, polynomial, h[0], h[1], h[2], h[3], h[4], h[5], h[6]);
  }
  std::fputs("H", file);
  std::fprintf(file, polynomial, h[0], h[1], h[2], h[3], h[4], h[5], h[6]);
  std::fputs("D", file);
  std::fprintf(file, polynomial, b[0], b[1], b[2], b[3], b[4], b[5], b[6]);
  std::fprintf(file, "sys=syslin(\"d\",H1/D);\n");
  std::fprintf(file, "clf();f1=scf(0);plzr(sys);f1=scf(1);gainplot(sys,1e-3,1e-1,0.001);\n");
  std::fprintf(file, "f1=scf(0);\n");
  std::fclose(file);
}

}  // namespace

void reportShaperPolynomials(const double* s, const double h[7], const double b[7],
                             const Diagnostics& diagnostics) {
  if (!diagnostics.enabled()) return;
  Report& report = diagnostics.report();
  report.out("A: %+.8f,%+.8f,%+.8f,%+.8f,%+.8f,%+.8f,%+.8f\n", h[0], h[1], h[2], h[3], h[4], h[5],
             h[6]);
  report.out("B: %+.8f,%+.8f,%+.8f,%+.8f,%+.8f,%+.8f,%+.8f\n\n", b[0], b[1], b[2], b[3], b[4],
             b[5], b[6]);
  writePlotScript(diagnostics, s, h, b);
}

const ShaperPattern& selectShaperPattern(int patternNumber) {
  const ShaperPattern* chosen = &kPatterns[1];
  for (const ShaperPattern& pattern : kPatterns) {
    if (pattern.number == patternNumber) chosen = &pattern;
  }
  return *chosen;
}

ShaperCoefficients designShaper(const ShaperPattern& pattern, const Diagnostics& diagnostics) {
  ShaperCoefficients coefficients;
  designNoiseShaper(pattern.zero1, pattern.zero2, pattern.zero3, pattern.pole, coefficients,
                    pattern.angleDivisor, diagnostics);
  return coefficients;
}

void designNoiseShaper(double zero1, double zero2, double zero3, double pole,
                       ShaperCoefficients& coefficients, int divisor,
                       const Diagnostics& diagnostics) {
  // Every expression below is evaluated in the order written; the
  // coefficients (and every output bit) depend on it.
  const double step = (6.283185307179586 / static_cast<double>(divisor)) * 0.5;
  const double theta[3] = {step * zero1, step * zero2, step * zero3};
  const double s[3] = {2.0 * std::cos(theta[0]), 2.0 * std::cos(theta[1]),
                       2.0 * std::cos(theta[2])};
  const double s1 = s[0], s2 = s[1], s3 = s[2];

  // D(z) = (1 - p z^-1)^7: b_k = p * c_k, then k - 1 more factors of p.
  static const double kBinomial[7] = {-7.0, 21.0, -35.0, 35.0, -21.0, 7.0, -1.0};
  double b[7];
  for (int k = 0; k < 7; ++k) {
    double value = pole * kBinomial[k];
    for (int i = 0; i < k; ++i) value = value * pole;
    b[k] = value;
  }

  // H1(z) = (1 - z^-1) * prod (1 - s_k z^-1 + z^-2), antisymmetric.
  double h[7];
  h[0] = -(((s2 + s1) + s3) + 1.0);
  h[1] = ((((((s2 * s1) + (s3 * s2)) + (s3 * s1)) + s1) + s2) + s3) + 3.0;
  h[2] = -(((((((2.0 * s2 + 2.0 * s1) + 2.0 * s3) + (s2 * s1) * s3) + s2 * s1) + s3 * s2) +
             s3 * s1) +
           3.0);
  h[3] = -h[2];
  h[4] = -h[1];
  h[5] = -h[0];
  h[6] = -1.0;

  for (int k = 0; k < 7; ++k) {
    coefficients.forward[k] = b[k] - h[k];
    coefficients.feedback[k] = -b[k];
  }

  if (!diagnostics.enabled()) return;
  Report& report = diagnostics.report();
  report.out("Theta1 = %.15f\n", theta[0]);
  report.out("Theta2 = %.15f\n", theta[1]);
  report.out("Theta3 = %.15f\n", theta[2]);
  report.out("s1 = %.15f\n", s1);
  report.out("s2 = %.15f\n", s2);
  report.out("s3 = %.15f\n", s3);
  reportShaperPolynomials(s, h, b, diagnostics);
}

}  // namespace pulsemill
