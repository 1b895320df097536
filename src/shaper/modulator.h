// Sigma-delta modulator and bit packing.
//
// Conventions: samples are doubles in units where the two decisions are +1.0
// and -1.0. Output bytes: per group of eight samples, the left byte then the
// right byte, earliest sample in the most significant bit, set bit = +1.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace pulsemill {

// One channel's loop memory: delay[0] = w[n-1] .. delay[6] = w[n-7].
struct ShaperState {
  double delay[7] = {};
};

// Modulates sampleCount samples of both channels. outBytes must hold
// 2 * ceil(sampleCount / 8) bytes. Returns Ok with outByteCount = 2 *
// (complete groups); DsdOutput when a completed group is 0x00 on both
// channels, Clip when it has a 0xFF or (on one channel) a 0x00 byte: eight
// equal decisions, an overload either way (checked in that order), stopping
// right after the failing group's eighth sample with outByteCount not
// written. An incomplete last group is packed but neither tested nor counted.
Status modulateBlock(const double* forward, const double* feedback,
                  ShaperState& leftState, const double* leftSamples,
                  ShaperState& rightState, const double* rightSamples,
                  int sampleCount, std::uint8_t* outBytes,
                  std::uint32_t& outByteCount);

}  // namespace pulsemill
