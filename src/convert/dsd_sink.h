// The conversion core's output seam: a sink of one-bit stereo DSD.
//
// Conventions: the core hands over the stream as interleaved byte pairs,
// left byte then right byte, eight samples per byte with the earliest in
// the most significant bit (set bit = +1). Byte counts count both channels.
// A container format (DSDIFF, DSF, ...) implements this interface: its
// layout, byte order, bit order and blocking stay inside the format. The
// file itself belongs to the caller: an attempt that is not finished is
// abandoned by discarding the file, and the next begin() starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace pulsemill {

class DsdSink {
 public:
  virtual ~DsdSink() = default;

  // Starts a fresh, empty file for a stream of `dsdSampleRate` Hz: writes
  // whatever precedes the sound data.
  virtual Status begin(std::uint32_t dsdSampleRate) = 0;

  // Appends `count` bytes (an even number) of the stream.
  virtual Status write(const std::uint8_t* bytes, std::size_t count) = 0;

  // After the last block: completes the file (sizes patched, buffered data
  // flushed to the system).
  virtual Status finish() = 0;
};

}  // namespace pulsemill
