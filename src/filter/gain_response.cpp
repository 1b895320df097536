#include "filter/gain_response.h"

#include <cmath>
#include <memory>
#include <new>


namespace pulsemill {

void computeGainResponseValues(const double* kernel, std::int32_t tapCount, double* gain) {
  const std::int32_t points = tapCount / 2;
  const double pi = 3.141592653589793;
#pragma omp parallel for schedule(dynamic, 4)
  for (std::int32_t i = 0; i < points; ++i) {
    // The angle is formed in degrees per sample first, then in radians.
    double step = static_cast<double>(tapCount) / 360.0;
    double omega = (((static_cast<double>(i) / step) * 2.0) * pi) / 360.0;
    double re = 0.0;
    double im = 0.0;
    for (std::int32_t j = 0; j < tapCount; ++j) {
      double a = static_cast<double>(j) * omega;
      re = re + std::cos(a) * kernel[j];
      im = im + std::sin(a) * kernel[j];
    }
    gain[i] = 10.0 * std::log10(im * im + re * re);
  }
}

void computeGainResponse(const double* kernel, std::int32_t tapCount,
                         const Diagnostics& diagnostics) {
  if (!diagnostics.enabled()) return;
  const std::int32_t points = tapCount / 2;
  std::unique_ptr<double[]> gain(new (std::nothrow) double[points]);
  if (!gain) return;  // diagnostics only; the conversion does not need them
  computeGainResponseValues(kernel, tapCount, gain.get());
  diagnostics.dumpValues(DiagnosticFile::GainResponse, gain.get(), points);
}

}  // namespace pulsemill
