// The conversion core's input seam: a source of stereo PCM frames.
//
// Conventions: a frame is one sample per channel at the input rate; values
// are on the source's scale (unitsOnScale: full scale is about
// +-0.5). A source delivers the stream in blocks of at most the size the
// core asks for, every block full but the last. A format (WAVE, FLAC, ...)
// implements this interface; the core knows no format. Statuses are
// returned, not printed (base/status.h).
#pragma once

#include <cstdint>

#include "base/status.h"

namespace pulsemill {

// How a source maps its samples onto the converter's scale.
enum class SampleScale {
  Converter,  // unitsOnScale: a negative sample lies one
              // 24-bit step nearer zero than its positive mirror
  Symmetric,  // one step for every sample: s / 16777215, s in 24-bit units
};

class PcmSource {
 public:
  virtual ~PcmSource() = default;

  // The scale of the values read() delivers (default: Converter). Set
  // before the first read(); it holds across rewind().
  void setSampleScale(SampleScale scale) { scale_ = scale; }

  // Input sample rate in Hz.
  virtual std::uint32_t sampleRate() const = 0;

  // True while another block is to be read. A block may hold 0 frames
  // (trailing bytes of an incomplete frame still form a block). Up to date
  // after each read().
  virtual bool hasMore() const = 0;

  // Reads the next block: sets `frames` (0 .. maxFrames) and writes that
  // many frames to left[0 ..) and right[0 ..). A failure status when the
  // input ends early or cannot be decoded.
  virtual Status read(int maxFrames, double* left, double* right, int& frames) = 0;

  // After the last block, before the output is committed: the checks that
  // can only be made at the end of the stream (a checksum, say).
  virtual Status finish() { return Status(); }

  // Back to the first frame for another attempt; a failure status when the
  // input cannot go back (a pipe).
  virtual Status rewind() = 0;

  // The PCM byte count the console's timing line reports.
  virtual std::uint64_t reportedBytes() const = 0;

  // The frames the input declares (for progress), 0 when it does not say.
  virtual std::uint64_t totalFrames() const { return 0; }

 protected:
  // A sample in 24-bit units on this source's scale.
  double unitsOnSourceScale(double units) const;

 private:
  SampleScale scale_ = SampleScale::Converter;
};

// The signed value of a 24-bit sample (its low 24 bits) and of a 16-bit one
// (its low 16 bits, times 256), in 24-bit units.
inline double units24(std::uint32_t sample) {
  return static_cast<double>(static_cast<std::int32_t>((sample & 0xFFFFFFu) ^ 0x800000u) - 0x800000);
}
inline double units16(std::uint32_t sample) {
  return static_cast<double>((static_cast<std::int32_t>((sample & 0xFFFFu) ^ 0x8000u) - 0x8000) * 256);
}

// A sample s in 24-bit units (an integer of b bits times 2^(24-b), a float
// times 2^23) on the converter's scale: s / 16777215.0, or (s + 16777216) /
// 16777215.0 - 1.0 when negative, which for a whole sample is its 24-bit
// word u (a 16-bit sample shifted up by 8 bits) over 16777215, minus 1.0
// when bit 23 is set. So 0x7FFFFF is +8388607/16777215, 0x800000 is
// -8388607/16777215 and 0xFFFFFF is exactly 0.0.
inline double unitsOnScale(double s) {
  return s >= 0.0 ? s / 16777215.0 : (s + 16777216.0) / 16777215.0 - 1.0;
}

// The symmetric scale: s / 16777215.0 for every sample s in 24-bit units.
// Positive samples get unitsOnScale's values.
inline double unitsOnSymmetricScale(double s) { return s / 16777215.0; }

inline double PcmSource::unitsOnSourceScale(double units) const {
  return scale_ == SampleScale::Symmetric ? unitsOnSymmetricScale(units) : unitsOnScale(units);
}

// Highest input sample rate: its products with the ratio (up to 512) and
// the tap count stay inside the 32-bit arithmetic of the rate handling.
constexpr std::uint32_t kMaxInputSampleRate = 8388607;

}  // namespace pulsemill
