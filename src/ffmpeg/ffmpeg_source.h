// Input through FFmpeg's libraries: the PCM files whose layout the exact
// WAVE reader refuses (WAVE_FORMAT_EXTENSIBLE, RF64, 8- and 32-bit integer
// and float WAVE, AIFF, AIFC, CAF, Wave64) and the lossless codecs in other
// containers (ALAC in MP4, WavPack, FLAC in Ogg).
//
// Conventions: the first audio stream is decoded as it is (no resampling,
// dithering or channel mixing) and put on the converter's scale with the
// arithmetic of decodeSampleWord, unrounded: a sample s in 24-bit units
// (an integer of b bits times 2^(24-b), a float times 2^23) gives
// s / 16777215.0, or (s + 16777216) / 16777215.0 - 1.0 when negative. So
// integer and float files holding the samples of a 24-bit file convert to
// the bytes that file gives. The source reads a regular file by its path
// (it may seek); damage (a corrupt packet, a decoder or demuxer error, a
// NaN or infinite sample, fewer frames than the container declares) is
// Decode with FFmpeg's or our reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/report.h"
#include "base/status.h"
#include "convert/decoded_frames.h"
#include "tags/tags.h"

namespace pulsemill {

// Bytes of an input's start that decide where it goes.
constexpr std::size_t kRouteHeadBytes = 36;

enum class InputRoute {
  Exact,   // the WAVE reader or the FLAC source, as ever
  Ffmpeg,  // this source (regular files only)
  Dsd,     // already DSD (DSF or DSDIFF): nothing to convert
};

// Where the first `length` bytes of an input send it. Only files the exact
// reader would refuse for their layout alone go to FFmpeg: other
// containers, a RIFF/WAVE whose first chunk is not "fmt ", an extensible
// format chunk (18 or 40 bytes), or a 16-byte one of a stereo 8-, 32- or
// 64-bit PCM or float stream at a rate the reader takes.
InputRoute routeInput(const std::uint8_t* head, std::size_t length);

struct FfmpegStream;  // FFmpeg's contexts, kept out of this header

class FfmpegSource : public DecodingSource {
 public:
  // `head`: the input's first bytes (they name the container and the
  // demuxer, so FFmpeg never guesses).
  FfmpegSource(std::string path, const std::uint8_t* head, std::size_t length);
  ~FfmpegSource() override;
  FfmpegSource(const FfmpegSource&) = delete;
  FfmpegSource& operator=(const FfmpegSource&) = delete;

  // Opens the file and finds its first audio stream, printing nothing.
  // Decode (reason: FFmpeg's text) when FFmpeg cannot open it as audio.
  Status probe();

  // Prints the report ("[CONTAINER] (N bytes)", codec, channels, rate,
  // bits, total frames) and checks the stream: UnsupportedCodec,
  // InputChannels, SampleRate or Decode. Call after probe().
  Status open(std::uint64_t fileSize, Report& report);

  // The container's tags and attached pictures: FFmpeg's metadata, which
  // reads them alike in every container (AIFF's ID3 chunk, MP4 atoms,
  // WavPack's APE tag, Ogg's comments); a RIFF/WAVE file's are read as a
  // plain WAVE file's (readWaveTags, from `fd`, the input's descriptor,
  // `fileSize` bytes long). Within the tag bounds of tags/tag_bounds.h.
  TagSet tags(int fd, std::uint64_t fileSize, Report& report) const;

  std::uint32_t sampleRate() const override { return sampleRate_; }
  // A failure found by looking ahead past the last block (a stream that
  // ends short exactly there).
  Status finish() override { return error_.empty() ? Status() : damage(error_); }
  Status rewind() override;
  std::uint64_t reportedBytes() const override { return framesRead_ * bytesPerFrame_; }
  std::uint64_t totalFrames() const override { return declaredFrames_; }

 private:
  std::size_t buffered() const { return decoded_.size(); }
  Status openDecoder();                     // for the stream probe() found
  Status decodeUntil(std::size_t frames) override;
  Status takeFrame();                       // the decoder's frame into left_/right_
  // Drops the zero pad after the current PCM packet's last whole frame;
  // true when the bytes after it are not a pad (the stream is cut inside a
  // frame).
  bool trimPcmPad();
  Status damage(const std::string& reason);
  void close();

  std::string path_;
  std::string container_;   // the report's name: "WAVE", "AIFF", "MP4", ...
  const char* demuxer_;     // FFmpeg's demuxer for the container
  FfmpegStream* stream_ = nullptr;

  std::uint32_t sampleRate_ = 0;
  unsigned bits_ = 0;
  std::uint64_t declaredFrames_ = 0;  // 0: unknown
  std::uint64_t bytesPerFrame_ = 4;

  std::uint64_t framesDecoded_ = 0;
  bool flushing_ = false;     // the demuxer has ended; the decoder drains
  std::string error_;         // the first damage found
  std::vector<double> unitsLeft_, unitsRight_;  // a frame in 24-bit units, reused
};

}  // namespace pulsemill
