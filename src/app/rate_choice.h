// The rate choice: the DSD rate, oversampling ratio and filter length a run
// takes for its input's sample rate and what the command line asked for.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.h"

namespace pulsemill {

struct RateChoice {
  int dsdRate;          // effective DSD multiple: 64, 128, 256 or 512
  int oversampleRatio;  // output rate / input rate: 64, 128, 256 or 512
  int tapCount;         // effective filter length, a multiple of the ratio
};

// Effective DSD rate, ratio and tap count for an input rate (Hz), the
// requested DSD multiple and the requested tap count (0 = not given).
// DSD512 keeps the filter of the DSD256 row of the same input rate per
// phase: twice its default taps, and a floor of 32 taps per phase.
RateChoice resolveRateAndTaps(std::uint32_t sampleRate, int requestedDsdRate,
                              int requestedTapCount);

// The GNU-style choice: there --rate N asks for N x 44.1 kHz or N x 48 kHz,
// the family of the input rate. An input below 44.1 kHz is in a family when
// doubling it once, twice or three times gives exactly 44100 or 48000 Hz
// (22050, 11025; 24000, 12000, 6000): the ratio is then N x 2^k, the
// output a standard DSD rate. A ratio above 512 is lowered to 512 and the
// DSD multiple with it (11025 Hz at N = 256: DSD128), with a warning. The
// taps are those of the 44.1 kHz row whose ratio is the same (its default,
// and its floor on a given count). Rates at or above 44.1 kHz, and rates
// below it in neither family (32000, 37800, 16000, 8000), take
// resolveRateAndTaps; for the latter the warning names the output rate,
// which is no standard DSD rate. `warning` is set to the reason for a
// "pulsemill: FILE: <reason>" line (no newline), or emptied.
RateChoice resolveFamilyRate(std::uint32_t sampleRate, int requestedDsdRate,
                             int requestedTapCount, std::string& warning);

// A run's choice: resolveFamilyRate when settings.familyRate, else
// resolveRateAndTaps (never a warning), from settings.dsdRate and
// settings.tapCount as requested.
RateChoice resolveRunRate(const RunSettings& settings, std::uint32_t sampleRate,
                          std::string& warning);

// "C:\TEMP\DSD%d_T%d_" with the effective DSD multiple and tap count.
std::string formatDebugPrefix(int dsdRate, int tapCount);

}  // namespace pulsemill
