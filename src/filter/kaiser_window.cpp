#include "filter/kaiser_window.h"

#include <cmath>
#include <memory>
#include <new>


namespace pulsemill {

double besselSeriesSum(double x) {
  double sum = 0.0;
  double term = 1.0;
  double k = 0.0;
  double last = 0.5;  // only opens the loop
  // The absolute test stops after the first squared term at or below 1e-12;
  // an overflowing sum (|x| above about 1418) would otherwise never stop.
  while ((last > 1e-12 || last < -1e-12) && std::isfinite(sum)) {
    double q = x * 0.5;
    k = k + 1.0;
    q = q / k;
    term = term * q;
    last = term * term;
    sum = sum + last;
  }
  return sum;
}

Status applyKaiserWindow(double* kernel, double alpha, std::int32_t tapCount,
                         const Diagnostics& diagnostics) {
  const double denominator = besselSeriesSum(alpha);
  if (!std::isfinite(denominator) || denominator == 0.0) return StatusCode::AlphaOutOfRange;
  std::unique_ptr<double[]> window(new (std::nothrow) double[tapCount]);
  if (!window) return StatusCode::OutOfMemory;

  const double centre = static_cast<double>(tapCount - 1) * 0.5;
  // Series length grows towards the centre of the window: hand out
  // iterations dynamically.
#pragma omp parallel for schedule(dynamic, 64)
  for (std::int32_t i = 0; i < tapCount; ++i) {
    double u = (static_cast<double>(i) - centre) / centre;
    double x = std::sqrt(1.0 - u * u) * alpha;
    window[i] = besselSeriesSum(x) / denominator;
  }
#pragma omp parallel for schedule(static)
  for (std::int32_t i = 0; i < tapCount; ++i) kernel[i] = window[i] * kernel[i];

  window.reset();
  diagnostics.dumpValues(DiagnosticFile::WindowedKernel, kernel, tapCount);
  return Status();
}

}  // namespace pulsemill
