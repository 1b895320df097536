// Tracks as one stream: a chain of sources read one after another as one
// source, and a sink that cuts the converted stream back into one sink per
// track, at the tracks' own frame counts.
//
// Conventions: frames count from the chain's first frame; a track ends
// where its source has no more frames (what it declares is for progress
// only). Every track's output holds exactly its frames x ratio samples per
// channel, ratio a multiple of 8, so a cut falls between bytes. The split
// sink belongs to an aligned conversion (ConversionOptions::align), whose
// output sample n x ratio belongs to input frame n: the sink then never
// gets bytes of a frame the chain has not read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/status.h"
#include "convert/dsd_sink.h"
#include "convert/pcm_source.h"

namespace pulsemill {

class ChainedSource final : public PcmSource {
 public:
  static constexpr std::uint64_t kOpenEnd = UINT64_MAX;  // a track end not reached yet
  static constexpr std::size_t kNoTrack = SIZE_MAX;

  // `tracks` (at least one, each at its first frame, all at one rate) read
  // in order. The sources stay the caller's; each keeps its own scale.
  explicit ChainedSource(std::vector<PcmSource*> tracks);

  std::uint32_t sampleRate() const override { return tracks_.front()->sampleRate(); }
  bool hasMore() const override { return current_ < tracks_.size(); }
  // Fills the block across track ends. A failure is the track's own
  // (failedTrack() names it).
  Status read(int maxFrames, double* left, double* right, int& frames) override;
  // Every track's end-of-stream checks, in order (a track that ended may
  // still be rewound for another attempt until then).
  Status finish() override;
  Status rewind() override;
  std::uint64_t reportedBytes() const override;
  // The sum of the tracks' declared frames; 0 when one does not say.
  std::uint64_t totalFrames() const override;

  std::size_t trackCount() const { return tracks_.size(); }
  const PcmSource& track(std::size_t k) const { return *tracks_[k]; }
  // The frame after track k's last, once its last frame has been read;
  // kOpenEnd before. May be called while another thread runs read().
  std::uint64_t trackEnd(std::size_t k) const { return ends_[k].load(std::memory_order_acquire); }
  // The track whose read or finish failed last; kNoTrack when none did.
  std::size_t failedTrack() const { return failedTrack_; }

 private:
  // Ends every track from the current one on that has no more frames.
  void endFinishedTracks();

  std::vector<PcmSource*> tracks_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> ends_;
  std::size_t current_ = 0;
  std::uint64_t framesRead_ = 0;
  std::size_t failedTrack_ = kNoTrack;
};

class SplitSink final : public DsdSink {
 public:
  // The stream of `chain` converted at `ratio` (a multiple of 8) into
  // `tracks`, one sink per track of the chain (each given a fresh file).
  SplitSink(std::vector<DsdSink*> tracks, const ChainedSource& chain, int ratio);

  // Begins the first track; `declaredBytes` is not used (each track
  // declares its own source's length).
  Status begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) override;
  Status write(const std::uint8_t* bytes, std::size_t count) override;
  // Finishes every track still open; a track given fewer bytes than its
  // frames make is StreamedOutput.
  Status finish() override;

  // The track whose sink failed last; ChainedSource::kNoTrack when none did.
  std::size_t failedTrack() const { return failedTrack_; }

 private:
  std::uint64_t trackBytes(std::size_t k) const;  // both channels; kOpenEnd while unknown
  Status beginTrack(std::size_t k);
  Status finishTrack();  // the current one, then the next begun
  Status fail(Status status);

  std::vector<DsdSink*> tracks_;
  const ChainedSource& chain_;
  const std::uint64_t bytesPerFrame_;  // both channels
  std::uint32_t rate_ = 0;
  std::size_t current_ = 0;
  std::uint64_t written_ = 0;  // into the current track
  std::size_t failedTrack_ = ChainedSource::kNoTrack;
};

}  // namespace pulsemill
