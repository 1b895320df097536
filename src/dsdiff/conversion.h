// One conversion attempt: WAVE samples in, DSDIFF file out.
#pragma once

#include <cstdint>
#include <cstdio>

#include "resample/interpolator.h"

namespace pulsemill {

// Reads dataSize bytes of stereo PCM (blockAlign 4: 16-bit, 6: 24-bit) from
// `in` (at the first sample byte), converts them block by block and writes a
// complete DSDIFF file to `out` (fresh, empty). Prints the start, normalize,
// progress, size, end and timing lines. Returns Done, Failed or Clip (with
// its message on standard error). Fatal header write errors end the run
// through failWrite.
int convertToDsdiff(std::FILE* in, std::FILE* out, std::uint64_t dataSize,
                    std::uint32_t sampleRate, int blockAlign,
                    const double* forward, const double* feedback,
                    const PhaseKernel& kernel, int ratio, int tapCount,
                    int blockFrames, std::int64_t normalizeOffset);

// Decodes one little-endian sample word to the converter's scale: a 24-bit
// word u (16-bit samples shifted up by 8 bits) gives u / 16777215.0, minus
// 1.0 when bit 23 is set.
inline double decodeSampleWord(std::uint32_t u) {
  double x = static_cast<double>(u) / 16777215.0;
  if (u >= 8388608u) x = x - 1.0;
  return x;
}

}  // namespace pulsemill
