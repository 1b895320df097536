#include "convert/track_chain.h"

#include <algorithm>

namespace pulsemill {

ChainedSource::ChainedSource(std::vector<PcmSource*> tracks)
    : tracks_(std::move(tracks)), ends_(new std::atomic<std::uint64_t>[tracks_.size()]) {
  for (std::size_t k = 0; k < tracks_.size(); ++k) ends_[k].store(kOpenEnd);
}

void ChainedSource::endFinishedTracks() {
  for (; current_ < tracks_.size() && !tracks_[current_]->hasMore(); ++current_)
    ends_[current_].store(framesRead_, std::memory_order_release);
}

Status ChainedSource::finish() {
  for (std::size_t k = 0; k < tracks_.size(); ++k) {
    Status status = tracks_[k]->finish();
    if (!status.ok()) {
      failedTrack_ = k;
      return status;
    }
  }
  return Status();
}

Status ChainedSource::read(int maxFrames, double* left, double* right, int& frames) {
  frames = 0;
  endFinishedTracks();
  Status status;
  while (current_ < tracks_.size() && frames < maxFrames) {
    int got = 0;
    status = tracks_[current_]->read(maxFrames - frames, left + frames, right + frames, got);
    if (!status.ok()) {
      failedTrack_ = current_;
      break;
    }
    frames += got;
    framesRead_ += static_cast<std::uint64_t>(got);
    // A track that gave nothing and goes on would give nothing again.
    if (got == 0 && tracks_[current_]->hasMore()) break;
    endFinishedTracks();
  }
  return status;
}

Status ChainedSource::rewind() {
  for (PcmSource* track : tracks_) {
    Status status = track->rewind();
    if (!status.ok()) return status;
  }
  for (std::size_t k = 0; k < tracks_.size(); ++k) ends_[k].store(kOpenEnd);
  current_ = 0;
  framesRead_ = 0;
  failedTrack_ = kNoTrack;
  return Status();
}

std::uint64_t ChainedSource::reportedBytes() const {
  std::uint64_t bytes = 0;
  for (const PcmSource* track : tracks_) bytes += track->reportedBytes();
  return bytes;
}

std::uint64_t ChainedSource::totalFrames() const {
  std::uint64_t frames = 0;
  for (const PcmSource* track : tracks_) {
    if (track->totalFrames() == 0) return 0;
    frames += track->totalFrames();
  }
  return frames;
}

std::uint64_t TrackCuts::chainEnd(bool declared) const {
  const std::size_t last = chain_.trackCount() - 1;
  if (!declared) return chain_.trackEnd(last);
  std::uint64_t end = 0;
  for (std::size_t k = 0; k <= last; ++k) {
    if (chain_.declaredFrames(k) == 0) return kOpenEnd;
    end += chain_.declaredFrames(k);
  }
  return end;
}

std::uint64_t TrackCuts::streamFrame(const Start& start, bool declared) const {
  std::uint64_t first = 0;  // of the source
  for (std::size_t k = 0; k < start.source; ++k) {
    if (declared) {
      if (chain_.declaredFrames(k) == 0) return kOpenEnd;
      first += chain_.declaredFrames(k);
    } else {
      const std::uint64_t end = chain_.trackEnd(k);  // read once: the reader may store it meanwhile
      if (end == kOpenEnd) return kOpenEnd;
      first = end;
    }
  }
  return first + start.frame;
}

std::uint64_t TrackCuts::trackEnd(std::size_t k) const {
  return k + 1 < starts_.size() ? streamFrame(starts_[k + 1], false) : chainEnd(false);
}

std::uint64_t TrackCuts::declaredFrames(std::size_t k) const {
  const std::uint64_t start = k == 0 ? 0 : streamFrame(starts_[k], true);
  const std::uint64_t end = k + 1 < starts_.size() ? streamFrame(starts_[k + 1], true) : chainEnd(true);
  return start == kOpenEnd || end == kOpenEnd || end < start ? 0 : end - start;
}

SplitSink::SplitSink(std::vector<DsdSink*> tracks, const TrackEnds& ends, int ratio)
    : tracks_(std::move(tracks)), ends_(ends), bytesPerFrame_(static_cast<std::uint64_t>(ratio) / 8 * 2) {}

std::uint64_t SplitSink::trackBytes(std::size_t k) const {
  const std::uint64_t end = ends_.trackEnd(k);
  const std::uint64_t start = k == 0 ? 0 : ends_.trackEnd(k - 1);
  if (end == TrackEnds::kOpenEnd || start == TrackEnds::kOpenEnd) return TrackEnds::kOpenEnd;
  // A cut before the one ahead of it (a sheet's start past its file's end)
  // leaves the track empty; the bytes past it are then refused.
  return end > start ? (end - start) * bytesPerFrame_ : 0;
}

Status SplitSink::fail(Status status) {
  failedTrack_ = current_;
  return status;
}

Status SplitSink::beginTrack(std::size_t k) {
  current_ = k;
  written_ = 0;
  const Status status = tracks_[k]->begin(rate_, ends_.declaredFrames(k) * bytesPerFrame_);
  return status.ok() ? status : fail(status);
}

Status SplitSink::finishTrack() {
  const Status status = tracks_[current_]->finish();
  if (!status.ok()) return fail(status);
  return beginTrack(current_ + 1);
}

Status SplitSink::begin(std::uint32_t dsdSampleRate, std::uint64_t /*declaredBytes*/) {
  rate_ = dsdSampleRate;
  failedTrack_ = kNoTrack;
  return beginTrack(0);
}

Status SplitSink::write(const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const std::uint64_t wanted = trackBytes(current_);
    if (wanted == written_) {
      if (current_ + 1 == tracks_.size())
        return fail(streamLengthFailure(written_ + count, wanted));
      Status status = finishTrack();
      if (!status.ok()) return status;
      continue;
    }
    // An end not yet known lies past these bytes (see the header).
    if (wanted != TrackEnds::kOpenEnd && wanted < written_)
      return fail(streamLengthFailure(written_ + count, wanted));
    const std::size_t part = wanted == TrackEnds::kOpenEnd
                                 ? count
                                 : static_cast<std::size_t>(std::min<std::uint64_t>(count, wanted - written_));
    Status status = tracks_[current_]->write(bytes, part);
    if (!status.ok()) return fail(status);
    written_ += part;
    bytes += part;
    count -= part;
  }
  return Status();
}

Status SplitSink::finish() {
  for (;;) {
    const std::uint64_t wanted = trackBytes(current_);
    if (written_ != wanted) return fail(streamLengthFailure(written_, wanted));
    if (current_ + 1 == tracks_.size()) {
      const Status status = tracks_[current_]->finish();
      return status.ok() ? status : fail(status);
    }
    Status status = finishTrack();
    if (!status.ok()) return status;
  }
}

}  // namespace pulsemill
