#include "shaper/rate_shaper.h"

#include <cmath>

namespace pulsemill {

namespace {

const RateShaper kRows[] = {
#include "shaper/rate_shaper_table.inc"
};

}  // namespace

const RateShaper& selectRateShaper(std::uint32_t outputRate) {
  const RateShaper* chosen = &kRows[0];
  for (const RateShaper& row : kRows)
    if (row.rate <= outputRate && row.rate >= chosen->rate) chosen = &row;
  return *chosen;
}

std::uint32_t rateShaperBand(const RateShaper& row, std::uint32_t outputRate) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(row.band) * outputRate / row.rate);
}

ShaperCoefficients rateShaperCoefficients(const RateShaper& row, const Diagnostics& diagnostics) {
  ShaperCoefficients coefficients;
  double numerator[7], denominator[7];  // of the NTF, after their leading 1
  for (int k = 0; k < 7; ++k) {
    coefficients.forward[k] = row.forward[k];
    coefficients.feedback[k] = row.feedback[k];
    denominator[k] = -row.feedback[k];
    numerator[k] = denominator[k] - row.forward[k];
  }
  reportShaperPolynomials(nullptr, numerator, denominator, diagnostics);
  return coefficients;
}

OverloadGuard rateShaperGuard(const RateShaper& row, std::uint32_t outputRate) {
  // h[n] = [n == 0] + b1 h[n-1] + ... + b7 h[n-7]; the poles lie within
  // 0.98 of the origin, so 2^16 terms leave nothing of the sum out.
  double history[7] = {};  // h[n-1] .. h[n-7]
  double sum = 0.0;
  for (int n = 0; n < 65536; ++n) {
    double h = n == 0 ? 1.0 : 0.0;
    for (int k = 0; k < 7; ++k) h = h + row.feedback[k] * history[k];
    for (int k = 6; k > 0; --k) history[k] = history[k - 1];
    history[0] = h;
    sum = sum + std::fabs(h);
  }
  return OverloadGuard{std::floor(0.5 * sum), outputRate / 1000u};
}

}  // namespace pulsemill
