#include "shaper/rate_shaper.h"

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

}  // namespace pulsemill
