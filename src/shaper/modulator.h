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
  // Guarded only: samples since the loop last restarted (from the start:
  // "long ago"), and its restarts so far.
  std::uint64_t calm = std::uint64_t{1} << 62;
  std::uint64_t restarts = 0;
};

// An overload guard for a shaper without a fixed byte test. A channel
// whose new state w (delay[0]) leaves +-limit, or is not a number, has
// gone unstable: its loop restarts from rest (all seven delays 0), and
// recovers once the input is back in range. A restart within
// minCalmSamples of that channel's previous restart is an overload: the
// input itself holds the loop beyond its range.
struct OverloadGuard {
  double limit = 0.0;
  std::uint64_t minCalmSamples = 0;
};

// Modulates sampleCount samples of both channels. outBytes must hold
// 2 * ceil(sampleCount / 8) bytes. Returns Ok with outByteCount = 2 *
// (complete groups). Without a guard: DsdOutput when a completed group is
// 0x00 on both channels, Clip when it has a 0xFF or (on one channel) a 0x00
// byte: eight equal decisions, an overload either way (checked in that
// order). With a guard the bytes are not tested: Clip when a completed
// group saw an overload (OverloadGuard). Either failure stops right after the failing
// group's eighth sample with outByteCount not written. An incomplete last
// group is packed but neither tested nor counted. Until a channel restarts,
// the guarded loop's decisions are exactly the unguarded loop's.
Status modulateBlock(const double* forward, const double* feedback,
                  ShaperState& leftState, const double* leftSamples,
                  ShaperState& rightState, const double* rightSamples,
                  int sampleCount, std::uint8_t* outBytes,
                  std::uint32_t& outByteCount, const OverloadGuard* guard = nullptr);

}  // namespace pulsemill
