// Tracks as one stream: a chain of sources read one after another as one
// source, where the stream's tracks end (at the sources' ends, or at cuts
// inside them), and a sink that cuts the converted stream back into one
// sink per track.
//
// Conventions: frames count from the chain's first frame; a source ends
// where it has no more frames (what it declares is for progress only).
// Every track's output holds exactly its frames x ratio samples per
// channel, ratio a multiple of 8, so a cut falls between bytes. The split
// sink belongs to an aligned conversion (ConversionOptions::align), whose
// output sample n x ratio belongs to input frame n: the sink then never
// gets bytes of a frame the chain has not read, and a track's end is known
// before the sink reaches it.
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

// Where the tracks of a stream end.
class TrackEnds {
 public:
  static constexpr std::uint64_t kOpenEnd = UINT64_MAX;  // a track end not reached yet
  static constexpr std::size_t kNoTrack = SIZE_MAX;

  virtual ~TrackEnds() = default;
  virtual std::size_t trackCount() const = 0;
  // The frame after track k's last, once the stream has been read that
  // far; kOpenEnd before. May be called while another thread reads.
  virtual std::uint64_t trackEnd(std::size_t k) const = 0;
  // Track k's frames as the inputs declare them; 0 when they do not say.
  virtual std::uint64_t declaredFrames(std::size_t k) const = 0;
};

// The sources in order, each a track.
class ChainedSource final : public PcmSource, public TrackEnds {
 public:
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

  std::size_t trackCount() const override { return tracks_.size(); }
  std::uint64_t trackEnd(std::size_t k) const override {
    return ends_[k].load(std::memory_order_acquire);
  }
  std::uint64_t declaredFrames(std::size_t k) const override { return tracks_[k]->totalFrames(); }
  // The source whose read or finish failed last; kNoTrack when none did.
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

// Tracks that start inside a chain's sources: track k at frame starts[k]
// of source files[k] (track 0 at the chain's first frame, whatever its
// start says), each running to the next one's start, the last to the
// chain's end. Starts in stream order, each after the one before.
class TrackCuts final : public TrackEnds {
 public:
  struct Start {
    std::size_t source;   // in the chain
    std::uint64_t frame;  // from that source's first
  };
  TrackCuts(const ChainedSource& chain, std::vector<Start> starts)
      : chain_(chain), starts_(std::move(starts)) {}

  std::size_t trackCount() const override { return starts_.size(); }
  std::uint64_t trackEnd(std::size_t k) const override;
  std::uint64_t declaredFrames(std::size_t k) const override;

 private:
  // The stream frame of `start`, from the sources' ends read so far (or
  // declared, when `declared`); kOpenEnd while unknown.
  std::uint64_t streamFrame(const Start& start, bool declared) const;
  std::uint64_t chainEnd(bool declared) const;

  const ChainedSource& chain_;
  const std::vector<Start> starts_;
};

class SplitSink final : public DsdSink {
 public:
  // The stream converted at `ratio` (a multiple of 8) into `tracks`, one
  // sink per track of `ends` (each given a fresh file).
  SplitSink(std::vector<DsdSink*> tracks, const TrackEnds& ends, int ratio);

  // Begins the first track; `declaredBytes` is not used (each track
  // declares its own source's length).
  Status begin(std::uint32_t dsdSampleRate, std::uint64_t declaredBytes) override;
  Status write(const std::uint8_t* bytes, std::size_t count) override;
  // Finishes every track still open; a track given fewer bytes than its
  // frames make (or more, past a cut) is StreamedOutput.
  Status finish() override;

  // The track whose sink failed last; TrackEnds::kNoTrack when none did.
  std::size_t failedTrack() const { return failedTrack_; }

 private:
  std::uint64_t trackBytes(std::size_t k) const;  // both channels; kOpenEnd while unknown
  Status beginTrack(std::size_t k);
  Status finishTrack();  // the current one, then the next begun
  Status fail(Status status);

  std::vector<DsdSink*> tracks_;
  const TrackEnds& ends_;
  const std::uint64_t bytesPerFrame_;  // both channels
  std::uint32_t rate_ = 0;
  std::size_t current_ = 0;
  std::uint64_t written_ = 0;  // into the current track
  std::size_t failedTrack_ = kNoTrack;
  static constexpr std::size_t kNoTrack = TrackEnds::kNoTrack;
};

}  // namespace pulsemill
