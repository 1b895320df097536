#include "flac/flac_source.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/bytes.h"

namespace pulsemill {

struct FlacDecoder {
  FLAC__StreamDecoder* handle;
};

namespace {

FlacSource& sourceOf(void* clientData) { return *static_cast<FlacSource*>(clientData); }

extern "C" FLAC__StreamDecoderReadStatus readCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                                      size_t* bytes, void* clientData) {
  bool failed = false;
  *bytes = sourceOf(clientData).readInput(buffer, *bytes, failed);
  if (failed) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  return *bytes > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE
                    : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

extern "C" FLAC__StreamDecoderTellStatus tellCallback(const FLAC__StreamDecoder*,
                                                      FLAC__uint64* position, void* clientData) {
  *position = sourceOf(clientData).inputPosition();
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

extern "C" FLAC__bool eofCallback(const FLAC__StreamDecoder*, void* clientData) {
  return sourceOf(clientData).atInputEnd();
}

extern "C" FLAC__StreamDecoderWriteStatus writeCallback(const FLAC__StreamDecoder* decoder,
                                                        const FLAC__Frame* frame,
                                                        const FLAC__int32* const buffer[],
                                                        void* clientData) {
  // Known here: the tell callback cannot fail, and a frame ends on a byte.
  FLAC__uint64 end = 0;
  (void)FLAC__stream_decoder_get_decode_position(decoder, &end);
  // Nothing may be thrown through libFLAC's C frames.
  const FlacFrameFormat format{frame->header.sample_rate, frame->header.channels,
                               frame->header.bits_per_sample};
  const bool taken =
      sourceOf(clientData).takeFrame(frame->header.blocksize, format, buffer, end);
  return taken ? FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE
               : FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
}

extern "C" void metadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                                 void* clientData) {
  if (metadata->type == FLAC__METADATA_TYPE_CUESHEET) {
    const FLAC__StreamMetadata_CueSheet& sheet = metadata->data.cue_sheet;
    std::vector<FlacCueTrack> tracks;
    // The last track is the lead-out (170 on a CD, 255 otherwise).
    for (unsigned t = 0; t + 1 < sheet.num_tracks; ++t) {
      const FLAC__StreamMetadata_CueSheet_Track& track = sheet.tracks[t];
      std::uint64_t start = track.offset;
      for (unsigned i = 0; i < track.num_indices; ++i) {
        if (i == 0) start = track.offset + track.indices[i].offset;
        if (track.indices[i].number == 1) start = track.offset + track.indices[i].offset;
      }
      tracks.push_back({track.number, start});
    }
    sourceOf(clientData).takeCueTracks(std::move(tracks));
    return;
  }
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  sourceOf(clientData).takeStreamInfo(info.sample_rate, info.channels, info.bits_per_sample,
                                      info.total_samples);
}

extern "C" void errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status,
                              void* clientData) {
  sourceOf(clientData).takeDecoderError(FLAC__StreamDecoderErrorStatusString[status]);
}

// Enough of the stream's end for an APEv2 footer and an ID3v1 tag.
constexpr std::size_t kTailBytes = 32 + 128;

}  // namespace

FlacSource::FlacSource(std::FILE* file, std::vector<std::uint8_t> peeked)
    : file_(file), peeked_(std::move(peeked)) {
  // Before "fLaC" there may be an ID3v2 tag that the caller has read past.
  const long at = std::ftell(file_);
  magicOffset_ = at < 0 ? -1 : at - static_cast<long>(peeked_.size());
}

FlacSource::~FlacSource() {
  if (decoder_ == nullptr) return;
  FLAC__stream_decoder_delete(decoder_->handle);
  delete decoder_;
}

std::size_t FlacSource::readInput(std::uint8_t* buffer, std::size_t wanted, bool& failed) {
  std::size_t given = std::min(wanted, peeked_.size() - peekPos_);
  std::memcpy(buffer, peeked_.data() + peekPos_, given);
  peekPos_ += given;
  if (given < wanted) given += std::fread(buffer + given, 1, wanted - given, file_);
  failed = given == 0 && std::ferror(file_) != 0;
  handed_ += given;
  if (given >= kTailBytes) {
    tail_.assign(buffer + given - kTailBytes, buffer + given);
  } else {
    tail_.insert(tail_.end(), buffer, buffer + given);
    if (tail_.size() > kTailBytes)
      tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kTailBytes));
  }
  return given;
}

bool FlacSource::atInputEnd() const {
  return peekPos_ == peeked_.size() && std::feof(file_) != 0;
}

void FlacSource::takeStreamInfo(std::uint32_t rate, unsigned channels, unsigned bits,
                                std::uint64_t total) {
  sampleRate_ = rate;
  channels_ = channels;
  bits_ = bits;
  totalFrames_ = total;
  bytesPerFrame_ = bits <= 16 ? 4 : 6;
}

void FlacSource::takeError(const std::string& text, const char* reason) {
  if (!error_.empty()) return;
  error_ = text;
  reason_ = reason;
}

void FlacSource::takeDecoderError(const char* text) {
  if (decoderError_.empty()) decoderError_ = text;
}

// The bytes from frameEnd_ to the end of the input: an APEv2 tag (its
// footer's size, a header included when its flag says so), an ID3v1 tag
// (128 bytes from "TAG"), or an APEv2 tag and then an ID3v1 tag.
bool FlacSource::trailerIsTags() const {
  std::uint64_t left = handed_ - frameEnd_;
  std::size_t end = tail_.size();
  if (left >= 128 && end >= 128 && std::memcmp(&tail_[end - 128], "TAG", 3) == 0) {
    left -= 128;
    end -= 128;
    if (left == 0) return true;
  }
  if (left < 32 || end < 32) return false;
  const std::uint8_t* footer = &tail_[end - 32];
  const bool header = (le32(footer + 20) & 0x80000000u) != 0;
  const std::uint64_t size = std::uint64_t{le32(footer + 12)} + (header ? 32 : 0);
  return std::memcmp(footer, "APETAGEX", 8) == 0 && size == left;
}

// A frame whose rate, channel count or depth is not the STREAMINFO
// block's (the report's) ends the stream: the rest would play at the wrong
// speed or scale.
std::string FlacSource::formatChange(const FlacFrameFormat& frame) const {
  const auto what = [this](const char* field, unsigned from, unsigned to, const char* unit) {
    char text[160];
    std::snprintf(text, sizeof text, "the %s changes from %u to %u%s at %.3f s (frame %llu): "
                  "not converted", field, from, to, unit,
                  static_cast<double>(framesDecoded_) / (sampleRate_ != 0 ? sampleRate_ : 1),
                  static_cast<unsigned long long>(framesDecoded_));
    return std::string(text);
  };
  if (frame.rate != sampleRate_) return what("sample rate", sampleRate_, frame.rate, " Hz");
  if (frame.channels != channels_) return what("channel count", channels_, frame.channels, "");
  if (frame.bits != bits_) return what("sample size", bits_, frame.bits, " bits");
  return std::string();
}

bool FlacSource::takeFrame(unsigned blockSize, const FlacFrameFormat& format,
                           const std::int32_t* const samples[], std::uint64_t end) {
  frameEnd_ = end;
  if (!decoderError_.empty()) takeError(decoderError_);
  if (!error_.empty()) return false;
  const std::string change = formatChange(format);
  if (!change.empty()) {
    refusal_ = change;
    takeError(change);
    return false;
  }
  framesDecoded_ += blockSize;
  // Samples go in 24-bit units, exactly (as their PCM twins do through
  // FFmpeg): times 2^(24 - bits) below 24 bits, divided by 2^(bits - 24)
  // above. On the converter's scale 16- and 24-bit samples then give the
  // values their WAVE twins give.
  const double toUnits = bits_ <= 24 ? static_cast<double>(1u << (24 - bits_))
                                     : 1.0 / static_cast<double>(1u << (bits_ - 24));
  try {
    for (unsigned k = 0; k < blockSize; ++k)
      decoded_.push(samples[0][k] * toUnits, samples[1][k] * toUnits);
  } catch (const std::bad_alloc&) {
    takeError("out of memory", std::strerror(ENOMEM));
    return false;
  }
  return true;
}

Status FlacSource::failure() const {
  if (!refusal_.empty()) return Status(StatusCode::InputRefused).because(refusal_);
  // libFLAC only sees a read error as a failed callback: the stream tells.
  const char* reason = std::ferror(file_) != 0 ? std::strerror(EIO) : reason_;
  return Status(StatusCode::FlacRead, error_).because(reason);
}

// libFLAC reports the bytes after the last frame as lost sync or a bad or
// cut frame, and a stream cut inside a frame often as nothing at all: at
// the end, the count of bytes after the last frame tells both from tags.
Status FlacSource::afterProcessing(bool processed) {
  if (!error_.empty()) return failure();
  const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_->handle);
  const bool ended = state == FLAC__STREAM_DECODER_END_OF_STREAM;
  if (ended && trailerIsTags()) {
    decoderError_.clear();
  } else {
    if (!decoderError_.empty()) takeError(decoderError_);
    if (!processed) takeError(FLAC__StreamDecoderStateString[state]);
    if (!error_.empty()) return failure();
  }
  if (!ended) return Status();
  endOfStream_ = true;
  // A cut at a frame boundary decodes cleanly: only the count shows it.
  if (totalFrames_ != 0 && framesDecoded_ != totalFrames_)
    takeError("stream ends after " + std::to_string(framesDecoded_) + " of " +
                  std::to_string(totalFrames_) + " frames",
              kUnexpectedEnd);
  else if (handed_ != frameEnd_ && !trailerIsTags())
    takeError("stream ends " + std::to_string(handed_ - frameEnd_) + " bytes into a frame",
              kUnexpectedEnd);
  return error_.empty() ? Status() : failure();
}

void FlacSource::afterMetadata(bool processed) {
  if (!decoderError_.empty()) takeError(decoderError_);
  if (!processed)
    takeError(FLAC__StreamDecoderStateString[FLAC__stream_decoder_get_state(decoder_->handle)]);
  FLAC__uint64 at = 0;  // the first frame's position
  (void)FLAC__stream_decoder_get_decode_position(decoder_->handle, &at);
  frameEnd_ = at;
}

Status FlacSource::decodeUntil(std::size_t frames) {
  while (buffered() < frames && !endOfStream_) {
    if (!error_.empty()) return failure();
    const Status status = afterProcessing(FLAC__stream_decoder_process_single(decoder_->handle));
    if (!status.ok()) return status;
  }
  return Status();
}

Status FlacSource::open(std::int64_t fileSize, Report& report) {
  FLAC__StreamDecoder* handle = FLAC__stream_decoder_new();
  if (handle == nullptr) return StatusCode::OutOfMemory;
  decoder_ = new FlacDecoder{handle};
  FLAC__stream_decoder_set_md5_checking(handle, true);
  FLAC__stream_decoder_set_metadata_respond(handle, FLAC__METADATA_TYPE_CUESHEET);
  const FLAC__StreamDecoderInitStatus init = FLAC__stream_decoder_init_stream(
      handle, readCallback, nullptr, tellCallback, nullptr, eofCallback, writeCallback,
      metadataCallback, errorCallback, this);
  if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK)
    return Status(StatusCode::FlacRead, FLAC__StreamDecoderInitStatusString[init]);
  afterMetadata(FLAC__stream_decoder_process_until_end_of_metadata(handle) != 0);
  if (error_.empty() && channels_ == 0) takeError("no STREAMINFO block");
  if (!error_.empty()) return failure();

  if (fileSize >= 0)
    report.out("[fLaC] (%llu bytes)\n", static_cast<unsigned long long>(fileSize));
  else
    report.out("[fLaC]\n");
  reportStream(report, channels_, sampleRate_, bits_, totalFrames_);
  if (channels_ != 2) return Status(StatusCode::FlacChannels, std::to_string(channels_));
  if (bits_ < 4 || bits_ > 32) return Status(StatusCode::FlacBits, std::to_string(bits_));
  if (sampleRate_ == 0) return StatusCode::SampleRate;
  return decodeUntil(1);  // so that hasMore() knows an empty stream
}

Status FlacSource::finish() {
  if (!error_.empty()) return failure();
  // The MD5 signature is compared when the decoder finishes.
  const bool signatureMatches = FLAC__stream_decoder_finish(decoder_->handle) != 0;
  if (!signatureMatches) takeError("MD5 signature mismatch");
  return error_.empty() ? Status() : failure();
}

Status FlacSource::rewind() {
  // A reset keeps MD5 checking on, where a seek in the decoder would turn
  // it off; the input itself goes back to its "fLaC" (libFLAC would skip
  // an ID3v2 tag before it, but not the tag's footer). Whatever the
  // abandoned attempt decoded ahead (an error included) is forgotten.
  error_.clear();
  refusal_.clear();
  decoderError_.clear();
  if (magicOffset_ < 0 || std::fseek(file_, magicOffset_, SEEK_SET) != 0) {
    takeError("the input cannot go back to its start", std::strerror(ESPIPE));
    return failure();
  }
  std::clearerr(file_);
  peeked_.clear();
  peekPos_ = 0;
  handed_ = frameEnd_ = 0;
  tail_.clear();
  decoded_.clear();
  framesRead_ = framesDecoded_ = 0;
  endOfStream_ = false;
  afterMetadata(FLAC__stream_decoder_reset(decoder_->handle) &&
                FLAC__stream_decoder_process_until_end_of_metadata(decoder_->handle));
  if (!error_.empty()) return failure();
  return decodeUntil(1);
}

}  // namespace pulsemill
