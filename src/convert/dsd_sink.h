// The conversion core's output seam: a sink of one-bit stereo DSD.
//
// Conventions: the core hands over the stream as interleaved byte pairs,
// left byte then right byte, eight samples per byte with the earliest in
// the most significant bit (set bit = +1). Byte counts count both channels.
// A container format (DSDIFF, DSF, ...) implements this interface: its
// layout, byte order, bit order and blocking stay inside the format. The
// file itself belongs to the caller: an attempt that is not finished is
// abandoned by discarding the file, and the next begin() starts afresh.
// A file that can seek back gets its sizes at finish(), from the bytes
// given; one that cannot (a pipe) gets them at begin(), from the length the
// input declares, and the stream must then come to exactly that length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/status.h"

namespace pulsemill {

class DsdSink {
 public:
  virtual ~DsdSink() = default;

  // Starts a fresh, empty file for a stream of `dsdSampleRate` Hz: writes
  // whatever precedes the sound data. `declaredBytes` is the stream's
  // length as the input declares it (both channels; 0 when it does not
  // say): a file that cannot seek back takes its sizes from it here.
  virtual Status begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) = 0;

  // Appends `count` bytes (an even number) of the stream. On a file that
  // cannot seek, bytes past `declaredBytes` are StreamedOutput.
  virtual Status write(const std::uint8_t* bytes, std::size_t count) = 0;

  // After the last block: completes the file (sizes patched, buffered data
  // flushed to the system). On a file that cannot seek, a stream shorter
  // than `declaredBytes` is StreamedOutput.
  virtual Status finish() = 0;
};

// The failure of a sink that declared `declaredBytes` up front and was
// given `givenBytes` (more, as soon as a write passes the length, or fewer
// at finish()).
inline Status streamLengthFailure(std::uint64_t givenBytes, std::uint64_t declaredBytes) {
  const std::string declared = std::to_string(declaredBytes);
  return Status(StatusCode::StreamedOutput)
      .because(givenBytes > declaredBytes
                   ? "the input runs past the length it declares (" + declared + " bytes of DSD)"
                   : "the input ends short of the length it declares (" +
                         std::to_string(givenBytes) + " of " + declared + " bytes of DSD)");
}

}  // namespace pulsemill
