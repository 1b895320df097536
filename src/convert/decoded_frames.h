// Frames a decoder has produced ahead of the core's reads (FLAC and FFmpeg
// decode whole frames of their own size): appended frame by frame, handed
// out block by block. They are kept in 24-bit units (see unitsOnScale), so
// the source's scale applies when they are handed out, whenever it was set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/report.h"
#include "base/status.h"
#include "convert/pcm_source.h"

namespace pulsemill {

class DecodedFrames {
 public:
  // Frames not yet handed out.
  std::size_t size() const { return left_.size() - start_; }

  // Room for `more` frames (may throw std::bad_alloc), and one frame.
  void reserve(std::size_t more) {
    left_.reserve(left_.size() + more);
    right_.reserve(right_.size() + more);
  }
  void push(double left, double right) {
    left_.push_back(left);
    right_.push_back(right);
  }

  // Forgets what was handed out: call before decoding the next block.
  void dropTaken() {
    left_.erase(left_.begin(), left_.begin() + static_cast<std::ptrdiff_t>(start_));
    right_.erase(right_.begin(), right_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }

  // Hands out up to `maxFrames` frames into left / right; the count.
  std::size_t take(std::size_t maxFrames, double* left, double* right) {
    const std::size_t n = std::min(size(), maxFrames);
    const auto from = static_cast<std::ptrdiff_t>(start_);
    std::copy(left_.begin() + from, left_.begin() + from + static_cast<std::ptrdiff_t>(n), left);
    std::copy(right_.begin() + from, right_.begin() + from + static_cast<std::ptrdiff_t>(n), right);
    start_ += n;
    return n;
  }

  void clear() {
    left_.clear();
    right_.clear();
    start_ = 0;
  }

 private:
  std::vector<double> left_, right_;  // decoded frames from start_ on
  std::size_t start_ = 0;
};

// A source whose decoder runs ahead of the reads: read() hands out the
// decoded frames, decoding on with decodeUntil, and looks one frame ahead
// so that hasMore() is exact.
class DecodingSource : public PcmSource {
 public:
  bool hasMore() const override { return decoded_.size() > 0 || !endOfStream_; }
  Status read(int maxFrames, double* left, double* right, int& frames) override {
    decoded_.dropTaken();
    Status status = decodeUntil(static_cast<std::size_t>(maxFrames));
    if (!status.ok()) return status;
    const std::size_t n = decoded_.take(static_cast<std::size_t>(maxFrames), left, right);
    for (std::size_t k = 0; k < n; ++k) {
      left[k] = unitsOnSourceScale(left[k]);
      right[k] = unitsOnSourceScale(right[k]);
    }
    framesRead_ += n;
    frames = static_cast<int>(n);
    // A failure of the look-ahead is the next block's, returned by the next
    // read() (or, past the last block, by finish()).
    if (decoded_.size() == 0) (void)decodeUntil(1);
    return Status();
  }

 protected:
  // The stream lines of the header report, after the container's own:
  // channels, rate, bits and total frames (0: "unknown").
  static void reportStream(Report& report, unsigned channels, std::uint32_t rate, unsigned bits,
                           std::uint64_t totalFrames) {
    report.out("  Number of channels = %u (1 = mono, 2 = stereo)\n", channels);
    report.out("  Sampling rate = %luHz\n", static_cast<unsigned long>(rate));
    report.out("  Bits per sample = %u\n", bits);
    if (totalFrames != 0)
      report.out("  Total frames = %llu\n", static_cast<unsigned long long>(totalFrames));
    else
      report.out("  Total frames = unknown\n");
  }

  // Decodes until `frames` are buffered or the stream ends (endOfStream_).
  virtual Status decodeUntil(std::size_t frames) = 0;

  DecodedFrames decoded_;  // in 24-bit units
  std::uint64_t framesRead_ = 0;  // handed out by read()
  bool endOfStream_ = false;
};

}  // namespace pulsemill
