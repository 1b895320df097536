// FLAC input: the stream's report and a PCM source over its samples,
// decoded with libFLAC.
//
// Conventions: the source reads a stdio stream through libFLAC's stream
// callbacks, so it works on pipes and FIFOs; only a rewind (for a clip
// retry) needs a seekable input, and goes back to the "fLaC" the source
// started at. Positions count bytes from that "fLaC". Samples are put on
// the converter's scale exactly as the same samples in a WAVE file would
// be. A damaged stream (a frame that fails its check, a truncated file, an
// MD5 signature that does not match, bytes after the last frame that are
// not an ID3v1 or APEv2 tag) is FlacRead with libFLAC's status or error
// text, or with what was found.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/report.h"
#include "base/status.h"
#include "convert/decoded_frames.h"

namespace pulsemill {

struct FlacDecoder;  // libFLAC's stream decoder, kept out of this header

// What a frame header says of its samples.
struct FlacFrameFormat {
  std::uint32_t rate;  // Hz
  unsigned channels;
  unsigned bits;       // per sample, 4 .. 32
};

// A track of a CUESHEET block: its number and where it starts (its INDEX
// 01, or its first index when it has none), in samples.
struct FlacCueTrack {
  unsigned number;
  std::uint64_t start;
};

class FlacSource : public DecodingSource {
 public:
  // `file` stays open for the source's lifetime; `peeked` are the bytes
  // already read from it, from "fLaC" on (they are decoded first).
  FlacSource(std::FILE* file, std::vector<std::uint8_t> peeked);
  ~FlacSource() override;
  FlacSource(const FlacSource&) = delete;
  FlacSource& operator=(const FlacSource&) = delete;

  // Reads the metadata and prints the report ("[fLaC] (%llu bytes)" with
  // `fileSize`, or "[fLaC]" when it is negative, then channels, rate, bits
  // and total frames). Ok when the stream can be converted; FlacChannels,
  // FlacBits, SampleRate, FlacRead or OutOfMemory otherwise. Any depth
  // from 4 to 32 bits converts; a frame whose rate, channel count or depth
  // differs from the report's is refused (InputRefused).
  Status open(std::int64_t fileSize, Report& report);

  std::uint32_t sampleRate() const override { return sampleRate_; }
  Status finish() override;
  Status rewind() override;
  std::uint64_t reportedBytes() const override { return framesRead_ * bytesPerFrame_; }
  std::uint64_t totalFrames() const override { return totalFrames_; }
  // The tracks of the stream's CUESHEET block, the lead-out left out; empty
  // when it has none. Read by open().
  const std::vector<FlacCueTrack>& cueTracks() const { return cueTracks_; }

  // libFLAC's callbacks (C linkage trampolines call these).
  std::size_t readInput(std::uint8_t* buffer, std::size_t wanted, bool& failed);
  bool atInputEnd() const;
  std::uint64_t inputPosition() const { return handed_; }
  // `end`: the position just after the frame.
  bool takeFrame(unsigned blockSize, const FlacFrameFormat& format,
                 const std::int32_t* const samples[], std::uint64_t end);  // false: stop decoding
  void takeStreamInfo(std::uint32_t rate, unsigned channels, unsigned bits, std::uint64_t total);
  void takeCueTracks(std::vector<FlacCueTrack> tracks) { cueTracks_ = std::move(tracks); }
  void takeDecoderError(const char* text);

 private:
  std::size_t buffered() const { return decoded_.size(); }
  Status decodeUntil(std::size_t frames) override;
  void afterMetadata(bool processed);      // libFLAC's errors there, where frames start
  Status afterProcessing(bool processed);  // the verdict on one call into libFLAC
  bool trailerIsTags() const;
  std::string formatChange(const FlacFrameFormat& frame) const;  // empty: none
  // Keeps the first error, with the reason the run's failure line gives.
  void takeError(const std::string& text, const char* reason = kDamagedStream);
  Status failure() const;

  std::FILE* file_;
  long magicOffset_;  // of "fLaC" in `file_`; negative when it cannot seek
  std::vector<std::uint8_t> peeked_;
  std::size_t peekPos_ = 0;
  std::uint64_t handed_ = 0;        // bytes given to libFLAC
  std::vector<std::uint8_t> tail_;  // their last 160 at most (APEv2 footer, ID3v1)
  std::uint64_t frameEnd_ = 0;      // after the last frame (or the metadata)
  FlacDecoder* decoder_ = nullptr;

  std::uint32_t sampleRate_ = 0;
  unsigned channels_ = 0;
  unsigned bits_ = 0;
  std::uint64_t totalFrames_ = 0;  // 0: unknown
  std::vector<FlacCueTrack> cueTracks_;
  std::uint64_t bytesPerFrame_ = 4;

  std::uint64_t framesDecoded_ = 0;
  static constexpr const char* kDamagedStream = "invalid FLAC data";
  std::string error_;  // the first error
  std::string refusal_;  // a format change (InputRefused), when that was the first error
  const char* reason_ = kDamagedStream;  // its reason (Status::because)
  // libFLAC's first error since the last frame: damage if another frame or
  // anything but tags follows, the tags' own bytes otherwise.
  std::string decoderError_;
};

}  // namespace pulsemill
