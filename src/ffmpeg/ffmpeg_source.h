// Input through FFmpeg's libraries: the PCM files whose layout the exact
// WAVE reader refuses (WAVE_FORMAT_EXTENSIBLE, RF64, 8- and 32-bit integer
// and float WAVE, AIFF, AIFC, CAF, Wave64, Sun AU) and the lossless codecs
// in other containers (ALAC in MP4, WavPack, FLAC in Ogg or Matroska,
// Monkey's Audio, TTA).
//
// Conventions: FFmpeg reads the already open file through an AVIOContext
// (pread on the descriptor), never by a name, so no file name can act as a
// URL or protocol, and the demuxer is the one the caller names, never a
// guess. The first audio stream is decoded as it is (no resampling,
// dithering or channel mixing) and put on the source's scale from 24-bit
// units (convert/pcm_source.h), so integer and float files holding
// the samples of a 24-bit file convert to the bytes that file gives.
// Damage (a corrupt packet, a decoder or demuxer error, a NaN or infinite
// sample, fewer frames than the container declares) is Decode with
// FFmpeg's or our reason; a stream whose rate, channel count or sample
// format changes is refused (InputRefused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/report.h"
#include "base/status.h"
#include "convert/decoded_frames.h"
#include "tags/tags.h"

struct AVFrame;   // FFmpeg's
struct AVPacket;

namespace pulsemill {

// What the caller found out about a file before FFmpeg opens it.
struct FfmpegInput {
  int fd = -1;                       // the open regular file; not owned
  std::uint64_t end = 0;             // bytes FFmpeg sees: the file up to trailing tags it cannot skip
  const char* container = "?";       // the report's name: "WAVE", "AIFF", "MP4", ...
  const char* demuxer = nullptr;     // FFmpeg's demuxer for it
  std::int64_t declaredDataBytes = -1;  // a PCM container's data chunk size; -1: not declared
  std::int64_t declaredFrames = -1;     // frames a packet table declares valid; -1: none
  // A packet table's packets and frames per packet (0: none): a writer that
  // counts every packet whole (ffmpeg's CAF writer) declares up to one
  // packet's frames more than the last, short packet holds.
  std::uint64_t declaredPackets = 0;
  std::uint32_t framesPerPacket = 0;
};

// What a codec FFmpeg names is, when it is not one this converter reads:
// "MP3 audio is lossy", "mu-law is companded, not linear PCM", "IMA ADPCM
// is lossy"; empty when the codec is supported or cannot be named so.
// `codecId` is FFmpeg's AVCodecID.
std::string codecRefusal(int codecId);

// The same for a WAVE format tag (0x0055: MP3, 0x0007: mu-law, ...).
std::string waveFormatTagRefusal(unsigned formatTag);

struct FfmpegStream;  // FFmpeg's contexts, kept out of this header

class FfmpegSource : public DecodingSource {
 public:
  explicit FfmpegSource(const FfmpegInput& input) : input_(input) {}
  ~FfmpegSource() override;
  FfmpegSource(const FfmpegSource&) = delete;
  FfmpegSource& operator=(const FfmpegSource&) = delete;

  // Opens the file and finds its first audio stream, printing nothing.
  // Decode (reason: FFmpeg's text) when FFmpeg cannot open it as audio.
  Status probe();

  // Prints the report ("[CONTAINER] (N bytes)", codec, channels, rate,
  // bits, total frames) and checks the stream: UnsupportedCodec (with the
  // codec named as lossy or companded where it is), InputChannels,
  // SampleRate or Decode. Call after probe().
  Status open(std::uint64_t fileSize, Report& report);

  // The container's tags and attached pictures: FFmpeg's metadata, which
  // reads them alike in every container (AIFF's ID3 chunk, MP4 atoms,
  // WavPack's APE tag, Ogg's comments; several entries of one name are
  // kept as several values). Within the tag bounds of tags.h.
  TagSet tags(Report& report) const;

  std::uint32_t sampleRate() const override { return sampleRate_; }
  // A failure found by looking ahead past the last block (a stream that
  // ends short exactly there).
  Status finish() override { return failure_.ok() ? Status() : failure_; }
  Status rewind() override;
  std::uint64_t reportedBytes() const override { return framesRead_ * bytesPerFrame_; }
  std::uint64_t totalFrames() const override { return declaredFrames_; }

  // FFmpeg's read and seek callbacks on the descriptor.
  int readPacket(std::uint8_t* buffer, int size);
  std::int64_t seek(std::int64_t offset, int whence);

 private:
  std::size_t buffered() const { return decoded_.size(); }
  Status openDecoder();                     // for the stream probe() found
  Status decodeUntil(std::size_t frames) override;
  Status takeFrame();                       // the decoder's frame into the buffer
  // Drops the zero pad after the current PCM packet's last whole frame;
  // true when the bytes after it are not a pad (the stream is cut inside a
  // frame).
  bool trimPcmPad();
  // True when a packet's bytes reach the end of what FFmpeg sees.
  bool endsTheFile(const AVPacket* packet) const;
  // The refusal of a frame whose rate, channel count or sample format is
  // not the first frame's.
  std::string formatChange(const AVFrame* frame) const;
  Status damage(const std::string& reason);
  Status refuse(const std::string& reason);
  void close();

  FfmpegInput input_;
  std::uint64_t position_ = 0;  // of the next byte FFmpeg reads
  FfmpegStream* stream_ = nullptr;

  std::uint32_t sampleRate_ = 0;
  int channels_ = 0;
  int sampleFormat_ = -1;       // the first frame's AVSampleFormat
  unsigned bits_ = 0;
  std::uint64_t declaredFrames_ = 0;  // 0: unknown
  std::uint64_t bytesPerFrame_ = 4;
  bool runsToEnd_ = false;    // PCM whose container declares no length: read to the end

  std::uint64_t framesDecoded_ = 0;
  std::uint64_t packetsSent_ = 0;  // of the audio stream, to the decoder
  bool flushing_ = false;     // the demuxer has ended; the decoder drains
  Status failure_;            // the first damage or refusal found
  std::vector<double> unitsLeft_, unitsRight_;  // a frame in 24-bit units, reused
};

}  // namespace pulsemill
