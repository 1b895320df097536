#include "app/rate_choice.h"

#include <cstdio>

namespace pulsemill {

RateChoice resolveRateAndTaps(std::uint32_t sampleRate, int requestedDsdRate,
                              int requestedTapCount) {
  const int given = requestedTapCount;
  // The floor is applied to a given count only; the default keeps the
  // DSD256 row's taps per phase.
  const auto dsd512 = [given](int ratio, int defaultTaps) {
    const int floor = 32 * ratio;
    return RateChoice{512, ratio, given == 0 ? defaultTaps : (given > floor ? given : floor)};
  };
  if (sampleRate == 176400 || sampleRate == 192000) {
    if (requestedDsdRate == 512) return dsd512(128, 8192);
    // Already at four times 44.1/48 kHz: DSD256 at ratio 64 for any other request.
    return {256, 64, given != 0 ? given : 4096};
  }
  if (sampleRate == 88200 || sampleRate == 96000) {
    if (requestedDsdRate == 512) return dsd512(256, 65536);
    if (requestedDsdRate == 256) return {256, 128, given != 0 ? given : 32768};
    return {128, 64, given != 0 ? given : 32768};
  }
  if (requestedDsdRate == 512) return dsd512(512, 65536);
  if (requestedDsdRate == 64) return {64, 64, given != 0 ? given : 32768};
  if (requestedDsdRate == 128) return {128, 128, given == 0 ? 32768 : (given > 4096 ? given : 4096)};
  return {256, 256, given == 0 ? 32768 : (given > 8192 ? given : 8192)};
}

RateChoice resolveFamilyRate(std::uint32_t sampleRate, int requestedDsdRate,
                             int requestedTapCount, std::string& warning) {
  warning.clear();
  if (sampleRate >= 44100)
    return resolveRateAndTaps(sampleRate, requestedDsdRate, requestedTapCount);
  int doublings = 0;  // sampleRate x 2^doublings is the family's base rate
  for (int k = 1; k <= 3 && doublings == 0; ++k)
    if ((sampleRate << k) == 44100 || (sampleRate << k) == 48000) doublings = k;
  char text[160];
  if (doublings == 0) {
    const RateChoice choice = resolveRateAndTaps(sampleRate, requestedDsdRate, requestedTapCount);
    // Below 44.1 kHz and at most ratio 512: the product fits 32 bits.
    std::snprintf(text, sizeof text, "%u Hz input gives %u Hz DSD, not a standard DSD rate",
                  sampleRate, sampleRate * static_cast<std::uint32_t>(choice.oversampleRatio));
    warning = text;
    return choice;
  }
  int ratio = requestedDsdRate << doublings;
  if (ratio > 512) {
    ratio = 512;
    std::snprintf(text, sizeof text, "DSD%d asked, DSD%d given (%u Hz input: ratio 512 at most)",
                  requestedDsdRate, ratio >> doublings, sampleRate);
    warning = text;
  }
  // The 44.1 kHz row of DSD multiple `ratio` runs at that ratio: its taps.
  return {ratio >> doublings, ratio, resolveRateAndTaps(44100, ratio, requestedTapCount).tapCount};
}

RateChoice resolveRunRate(const RunSettings& settings, std::uint32_t sampleRate,
                          std::string& warning) {
  warning.clear();
  if (settings.familyRate)
    return resolveFamilyRate(sampleRate, settings.dsdRate, settings.tapCount, warning);
  return resolveRateAndTaps(sampleRate, settings.dsdRate, settings.tapCount);
}

std::string formatDebugPrefix(int dsdRate, int tapCount) {
  char text[64];
  std::snprintf(text, sizeof text, "C:\\TEMP\\DSD%d_T%d_", dsdRate, tapCount);
  return text;
}

}  // namespace pulsemill
