#include "ffmpeg/ffmpeg_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/bytes.h"
#include "convert/pcm_source.h"

namespace pulsemill {

struct FfmpegStream {
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int index = -1;  // the audio stream's
};

namespace {

// Largest single allocation FFmpeg may make: room for a 16 MiB picture
// (the tag's bound) several times over.
constexpr std::size_t kMaxAllocation = std::size_t{64} << 20;
// FFmpeg's read buffer on the descriptor.
constexpr int kIoBufferBytes = 64 * 1024;

std::string ffmpegText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

bool isSupportedCodec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_PCM_U8: case AV_CODEC_ID_PCM_S8:
    case AV_CODEC_ID_PCM_S16LE: case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_S24LE: case AV_CODEC_ID_PCM_S24BE:
    case AV_CODEC_ID_PCM_S32LE: case AV_CODEC_ID_PCM_S32BE:
    case AV_CODEC_ID_PCM_S64LE: case AV_CODEC_ID_PCM_S64BE:
    case AV_CODEC_ID_PCM_F32LE: case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F64LE: case AV_CODEC_ID_PCM_F64BE:
    case AV_CODEC_ID_FLAC: case AV_CODEC_ID_ALAC: case AV_CODEC_ID_WAVPACK:
    case AV_CODEC_ID_APE: case AV_CODEC_ID_TTA:
      return true;
    default:
      return false;
  }
}
// FFmpeg numbers the PCM codecs before the first ADPCM one.
bool isPcmCodec(AVCodecID id) { return isSupportedCodec(id) && id < AV_CODEC_ID_ADPCM_IMA_QT; }

// Both channels of a frame stored as T, in 24-bit units: units(sample) for
// each, written to left[0 ..) and right[0 ..).
template <typename T, typename Units>
void frameUnits(const AVFrame* frame, Units units, double* left, double* right) {
  const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format)) != 0;
  const T* l = reinterpret_cast<const T*>(frame->extended_data[0]);
  const T* r = planar ? reinterpret_cast<const T*>(frame->extended_data[1]) : l + 1;
  const int step = planar ? 1 : 2;
  for (int k = 0; k < frame->nb_samples; ++k) {
    left[k] = units(l[k * step]);
    right[k] = units(r[k * step]);
  }
}

// A stereo frame in 24-bit units, its sample format chosen once per frame.
// False for a format the supported decoders never give.
bool frameUnits(const AVFrame* frame, double* left, double* right) {
  switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame->format))) {
    case AV_SAMPLE_FMT_U8:
      frameUnits<std::uint8_t>(
          frame, [](std::uint8_t v) { return (static_cast<int>(v) - 128) * 65536.0; }, left, right);
      return true;
    case AV_SAMPLE_FMT_S16:
      frameUnits<std::int16_t>(frame, [](std::int16_t v) { return v * 256.0; }, left, right);
      return true;
    case AV_SAMPLE_FMT_S32:
      frameUnits<std::int32_t>(frame, [](std::int32_t v) { return v / 256.0; }, left, right);
      return true;
    case AV_SAMPLE_FMT_S64:
      frameUnits<std::int64_t>(
          frame, [](std::int64_t v) { return static_cast<double>(v) / 1099511627776.0; }, left, right);
      return true;
    case AV_SAMPLE_FMT_FLT:
      frameUnits<float>(frame, [](float v) { return v * 8388608.0; }, left, right);
      return true;
    case AV_SAMPLE_FMT_DBL:
      frameUnits<double>(frame, [](double v) { return v * 8388608.0; }, left, right);
      return true;
    default:
      return false;
  }
}

// True when the Ogg stream, whose last `end` bytes the descriptor holds,
// ends with a whole page that closes its stream (the end-of-stream flag).
// FFmpeg's demuxer drops a page cut short without a word, and Ogg FLAC as
// ffmpeg writes it declares no length: a file cut anywhere ends without
// that page.
bool oggEndsWithLastPage(int fd, std::uint64_t end) {
  constexpr std::uint64_t kMaxPage = 27 + 255 + 255 * 255;
  const std::uint64_t start = end > kMaxPage ? end - kMaxPage : 0;
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(end - start));
  if (!readAt(fd, start, tail.data(), tail.size())) return false;
  for (std::size_t at = tail.size() >= 27 ? tail.size() - 27 : 0; at + 27 <= tail.size(); --at) {
    const std::uint8_t* page = tail.data() + at;
    if (isFourCc(page, "OggS") && at + 27 + page[26] <= tail.size()) {
      std::size_t length = 27 + page[26];
      for (int s = 0; s < page[26]; ++s) length += page[27 + s];
      if (at + length == tail.size()) return (page[5] & 0x04) != 0;
    }
    if (at == 0) break;
  }
  return false;
}

extern "C" int readPacketCallback(void* opaque, std::uint8_t* buffer, int size) {
  return static_cast<FfmpegSource*>(opaque)->readPacket(buffer, size);
}
extern "C" std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence) {
  return static_cast<FfmpegSource*>(opaque)->seek(offset, whence);
}

// The names the refusal lines give the lossy codecs users meet most.
struct CodecName {
  AVCodecID id;
  const char* name;
};
constexpr CodecName kCodecNames[] = {
    {AV_CODEC_ID_MP3, "MP3"},         {AV_CODEC_ID_MP2, "MP2"},
    {AV_CODEC_ID_MP1, "MP1"},         {AV_CODEC_ID_AAC, "AAC"},
    {AV_CODEC_ID_VORBIS, "Vorbis"},   {AV_CODEC_ID_OPUS, "Opus"},
    {AV_CODEC_ID_AC3, "AC-3"},        {AV_CODEC_ID_EAC3, "E-AC-3"},
    {AV_CODEC_ID_WMAV1, "WMA"},       {AV_CODEC_ID_WMAV2, "WMA"},
    {AV_CODEC_ID_ADPCM_IMA_WAV, "IMA ADPCM"}, {AV_CODEC_ID_ADPCM_MS, "Microsoft ADPCM"},
    {AV_CODEC_ID_ADPCM_G726, "G.726 ADPCM"},  {AV_CODEC_ID_GSM_MS, "GSM"},
};

}  // namespace

std::string codecRefusal(int codecId) {
  const auto id = static_cast<AVCodecID>(codecId);
  if (id == AV_CODEC_ID_NONE || isSupportedCodec(id)) return std::string();
  if (id == AV_CODEC_ID_PCM_MULAW) return "mu-law is companded, not linear PCM";
  if (id == AV_CODEC_ID_PCM_ALAW) return "A-law is companded, not linear PCM";
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  if (descriptor == nullptr || (descriptor->props & AV_CODEC_PROP_LOSSY) == 0) return std::string();
  std::string name = descriptor->long_name != nullptr ? descriptor->long_name : descriptor->name;
  for (const CodecName& known : kCodecNames)
    if (known.id == id) name = known.name;
  const bool adpcm = std::strncmp(descriptor->name, "adpcm", 5) == 0;
  return name + (adpcm ? " is lossy" : " audio is lossy");
}

std::string waveFormatTagRefusal(unsigned formatTag) {
  const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
  return codecRefusal(av_codec_get_id(tables, formatTag));
}

FfmpegSource::~FfmpegSource() { close(); }

void FfmpegSource::close() {
  if (stream_ == nullptr) return;
  av_frame_free(&stream_->frame);
  av_packet_free(&stream_->packet);
  avcodec_free_context(&stream_->codec);
  avformat_close_input(&stream_->format);
  if (stream_->io != nullptr) av_freep(&stream_->io->buffer);
  avio_context_free(&stream_->io);
  delete stream_;
  stream_ = nullptr;
}

int FfmpegSource::readPacket(std::uint8_t* buffer, int size) {
  if (position_ >= input_.end || size <= 0) return AVERROR_EOF;
  const std::uint64_t want = std::min<std::uint64_t>(static_cast<std::uint64_t>(size),
                                                     input_.end - position_);
  for (;;) {
    const ssize_t got = pread(input_.fd, buffer, want, static_cast<off_t>(position_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return AVERROR(errno);
    if (got == 0) return AVERROR_EOF;
    position_ += static_cast<std::uint64_t>(got);
    return static_cast<int>(got);
  }
}

std::int64_t FfmpegSource::seek(std::int64_t offset, int whence) {
  const auto end = static_cast<std::int64_t>(input_.end);
  if ((whence & AVSEEK_SIZE) != 0) return end;
  std::int64_t to = offset;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: break;
    case SEEK_CUR: to += static_cast<std::int64_t>(position_); break;
    case SEEK_END: to += end; break;
    default: return AVERROR(EINVAL);
  }
  if (to < 0) return AVERROR(EINVAL);
  position_ = static_cast<std::uint64_t>(to);
  return to;
}

Status FfmpegSource::damage(const std::string& reason) {
  if (failure_.ok()) failure_ = Status(StatusCode::Decode).because(reason);
  return failure_;
}

Status FfmpegSource::refuse(const std::string& reason) {
  if (failure_.ok()) failure_ = Status(StatusCode::InputRefused).because(reason);
  return failure_;
}

Status FfmpegSource::probe() {
  // The console is the converter's: FFmpeg reports through return values.
  av_log_set_level(AV_LOG_QUIET);
  // No block FFmpeg needs for these codecs comes near this; a tag frame
  // that claims to inflate beyond it (a compressed ID3 picture, say) is
  // skipped rather than allocated.
  av_max_alloc(kMaxAllocation);
  close();
  stream_ = new FfmpegStream;
  position_ = 0;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
  stream_->io = buffer != nullptr ? avio_alloc_context(buffer, kIoBufferBytes, 0, this,
                                                       readPacketCallback, nullptr, seekCallback)
                                  : nullptr;
  stream_->format = avformat_alloc_context();
  if (stream_->io == nullptr || stream_->format == nullptr) {
    if (stream_->io == nullptr) av_free(buffer);
    return StatusCode::OutOfMemory;
  }
  stream_->format->pb = stream_->io;
  stream_->format->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVInputFormat* format =
      input_.demuxer != nullptr ? av_find_input_format(input_.demuxer) : nullptr;
  // The name FFmpeg is given is empty: the bytes come from the descriptor.
  int result = avformat_open_input(&stream_->format, "", format, nullptr);
  if (result >= 0) result = avformat_find_stream_info(stream_->format, nullptr);
  if (result < 0) return damage(ffmpegText(result));
  for (unsigned i = 0; i < stream_->format->nb_streams; ++i) {
    const AVStream* st = stream_->format->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
        (st->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      stream_->index = static_cast<int>(i);
      break;
    }
  }
  if (stream_->index < 0) return damage("no audio stream");
  return Status();
}

Status FfmpegSource::open(std::uint64_t fileSize, Report& report) {
  const AVStream* st = stream_->format->streams[stream_->index];
  const AVCodecParameters* par = st->codecpar;
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(par->codec_id);
  const std::string codecName = descriptor != nullptr
                                    ? descriptor->name
                                    : "unknown (format tag " + std::to_string(par->codec_tag) + ")";
  const auto sampleFormat = static_cast<AVSampleFormat>(par->format);
  const bool isFloat = av_get_packed_sample_fmt(sampleFormat) == AV_SAMPLE_FMT_FLT ||
                       av_get_packed_sample_fmt(sampleFormat) == AV_SAMPLE_FMT_DBL;
  bits_ = static_cast<unsigned>(par->bits_per_raw_sample > 0 ? par->bits_per_raw_sample
                                                             : par->bits_per_coded_sample);
  if (isFloat || bits_ == 0) bits_ = static_cast<unsigned>(av_get_bytes_per_sample(sampleFormat) * 8);
  bytesPerFrame_ = bits_ <= 16 ? 4 : 6;
  sampleRate_ = par->sample_rate > 0 ? static_cast<std::uint32_t>(par->sample_rate) : 0;
  channels_ = par->ch_layout.nb_channels;
  // The declared length: a packet table's valid frames, a PCM container's
  // data chunk, else the stream's duration where the header gives it (not
  // where FFmpeg estimates it).
  const std::string container = input_.container;
  const bool chunked = input_.declaredDataBytes >= 0 || container == "WAVE" ||
                       container == "RF64" || container == "BW64" || container == "W64" ||
                       container == "CAF";
  if (input_.declaredFrames >= 0) {
    declaredFrames_ = static_cast<std::uint64_t>(input_.declaredFrames);
  } else if (chunked && isPcmCodec(par->codec_id) && par->block_align > 0) {
    runsToEnd_ = input_.declaredDataBytes < 0;
    if (input_.declaredDataBytes > 0)
      declaredFrames_ = static_cast<std::uint64_t>(input_.declaredDataBytes) /
                        static_cast<unsigned>(par->block_align);
  } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0 && par->sample_rate > 0 &&
             stream_->format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    declaredFrames_ = static_cast<std::uint64_t>(
        av_rescale_q(st->duration, st->time_base, AVRational{1, par->sample_rate}));
  }

  report.out("[%s] (%llu bytes)\n", container.c_str(), static_cast<unsigned long long>(fileSize));
  report.out("  Codec = %s\n", codecName.c_str());
  reportStream(report, static_cast<unsigned>(channels_), sampleRate_, bits_, declaredFrames_);
  if (!isSupportedCodec(par->codec_id)) {
    const std::string named = codecRefusal(par->codec_id);
    const Status status(StatusCode::UnsupportedCodec, codecName);
    return named.empty() ? status : status.because(named + ": not converted");
  }
  if (channels_ != 2) return Status(StatusCode::InputChannels, std::to_string(channels_));
  if (sampleRate_ == 0 || sampleRate_ > kMaxInputSampleRate) return StatusCode::SampleRate;
  if (container == "Ogg" && !oggEndsWithLastPage(input_.fd, input_.end))
    return damage("the Ogg stream has no last page (the file is cut short)");

  if (avcodec_find_decoder(par->codec_id) == nullptr)
    return Status(StatusCode::UnsupportedCodec, codecName);
  Status status = openDecoder();
  return status.ok() ? decodeUntil(1) : status;  // so that hasMore() knows an empty stream
}

Status FfmpegSource::openDecoder() {
  const AVCodecParameters* par = stream_->format->streams[stream_->index]->codecpar;
  const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
  stream_->codec = avcodec_alloc_context3(decoder);
  stream_->packet = av_packet_alloc();
  stream_->frame = av_frame_alloc();
  if (stream_->codec == nullptr || stream_->packet == nullptr || stream_->frame == nullptr)
    return StatusCode::OutOfMemory;
  int result = avcodec_parameters_to_context(stream_->codec, par);
  // One thread: the pipeline's read step is the decoder's thread. Any error
  // a decoder can detect ends the run rather than being concealed.
  stream_->codec->thread_count = 1;
  stream_->codec->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_EXPLODE;
  if (result >= 0) result = avcodec_open2(stream_->codec, decoder, nullptr);
  return result < 0 ? damage(ffmpegText(result)) : Status();
}

Status FfmpegSource::takeFrame() {
  const AVFrame* frame = stream_->frame;
  const std::size_t n = static_cast<std::size_t>(frame->nb_samples);
  // Every frame keeps the first one's format: the report's rate and channel
  // count, and one sample format.
  if (sampleFormat_ < 0) sampleFormat_ = frame->format;
  if (frame->sample_rate != static_cast<int>(sampleRate_) ||
      frame->ch_layout.nb_channels != channels_ || frame->format != sampleFormat_)
    return refuse(formatChange(frame));
  try {
    decoded_.reserve(n);
    unitsLeft_.resize(n);
    unitsRight_.resize(n);
  } catch (const std::bad_alloc&) {
    return damage("out of memory");
  }
  if (!frameUnits(frame, unitsLeft_.data(), unitsRight_.data()))
    return damage("an unexpected sample format");
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(unitsLeft_[k]) || !std::isfinite(unitsRight_[k]))
      return damage("sample " + std::to_string(framesDecoded_ + k) + " is not a number");
    decoded_.push(unitsLeft_[k], unitsRight_[k]);
  }
  framesDecoded_ += n;
  return Status();
}

std::string FfmpegSource::formatChange(const AVFrame* frame) const {
  char at[96];
  std::snprintf(at, sizeof at, " at %.3f s (frame %llu): not converted",
                static_cast<double>(framesDecoded_) / sampleRate_,
                static_cast<unsigned long long>(framesDecoded_));
  if (frame->sample_rate != static_cast<int>(sampleRate_))
    return "the sample rate changes from " + std::to_string(sampleRate_) + " to " +
           std::to_string(frame->sample_rate) + " Hz" + at;
  if (frame->ch_layout.nb_channels != channels_)
    return "the channel count changes from " + std::to_string(channels_) + " to " +
           std::to_string(frame->ch_layout.nb_channels) + at;
  const char* from = av_get_sample_fmt_name(static_cast<AVSampleFormat>(sampleFormat_));
  const char* to = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
  return std::string("the sample format changes from ") + (from ? from : "?") + " to " +
         (to ? to : "?") + at;
}

Status FfmpegSource::decodeUntil(std::size_t frames) {
  while (buffered() < frames && !endOfStream_) {
    if (!failure_.ok()) return failure_;
    int result = avcodec_receive_frame(stream_->codec, stream_->frame);
    if (result >= 0) {
      Status status = takeFrame();
      av_frame_unref(stream_->frame);
      if (!status.ok()) return status;
      continue;
    }
    if (result == AVERROR_EOF) {
      endOfStream_ = true;
      // A cut between packets demuxes cleanly: only the count shows it.
      // Every declared packet decoded, the last one short, is the whole
      // stream of a table that counts packets whole.
      const bool lastPacketShort = input_.declaredPackets != 0 &&
                                   packetsSent_ == input_.declaredPackets &&
                                   declaredFrames_ - framesDecoded_ < input_.framesPerPacket;
      if (declaredFrames_ != 0 && framesDecoded_ < declaredFrames_ && !lastPacketShort)
        return damage("stream ends after " + std::to_string(framesDecoded_) + " of " +
                      std::to_string(declaredFrames_) + " frames");
      break;
    }
    if (result != AVERROR(EAGAIN)) return damage(ffmpegText(result));
    // The decoder wants input.
    if (flushing_) return damage("the decoder did not drain");
    result = av_read_frame(stream_->format, stream_->packet);
    if (result == AVERROR_EOF) {
      flushing_ = true;
      result = avcodec_send_packet(stream_->codec, nullptr);
      if (result < 0) return damage(ffmpegText(result));
      continue;
    }
    if (result < 0) return damage(ffmpegText(result));
    if (stream_->packet->stream_index == stream_->index) {
      // A file that declares no length (a streamed WAVE) ends where the
      // file does: its last packet is short, not corrupt.
      const bool shortAtEnd = runsToEnd_ && endsTheFile(stream_->packet);
      if ((stream_->packet->flags & AV_PKT_FLAG_CORRUPT) != 0 && !shortAtEnd)
        result = AVERROR_INVALIDDATA;
      else if (trimPcmPad()) result = AVERROR_INVALIDDATA;
      else if (stream_->packet->size > 0) {
        result = avcodec_send_packet(stream_->codec, stream_->packet);
        ++packetsSent_;
      }
    }
    av_packet_unref(stream_->packet);
    if (result < 0) return damage(ffmpegText(result));
  }
  return Status();
}

bool FfmpegSource::endsTheFile(const AVPacket* packet) const {
  return packet->pos >= 0 && static_cast<std::uint64_t>(packet->pos) + static_cast<std::uint64_t>(packet->size) >= input_.end;
}

bool FfmpegSource::trimPcmPad() {
  AVPacket* packet = stream_->packet;
  const AVCodecParameters* par = stream_->format->streams[stream_->index]->codecpar;
  const int blockAlign = par->block_align;
  if (!isPcmCodec(par->codec_id) || blockAlign <= 0 || packet->size % blockAlign == 0) return false;
  // Part of a frame: zero bytes that pad the data to the container's
  // alignment (ffmpeg's Wave64 writer counts them in the data chunk's size),
  // or a stream cut inside a frame. A file that declares no length (a
  // streamed WAVE) simply ends there: its last, short frame is dropped.
  const int whole = packet->size - packet->size % blockAlign;
  const bool shortAtEnd = runsToEnd_ && endsTheFile(packet);
  for (int i = whole; i < packet->size && !shortAtEnd; ++i)
    if (packet->data[i] != 0) return true;
  packet->size = whole;
  return false;
}

Status FfmpegSource::rewind() {
  // Opened afresh on the same descriptor: the exact start, whatever the
  // demuxer's seeking can do.
  failure_ = Status();
  decoded_.clear();
  framesRead_ = framesDecoded_ = packetsSent_ = 0;
  sampleFormat_ = -1;
  flushing_ = endOfStream_ = false;
  Status status = probe();
  if (status.ok()) status = openDecoder();
  return status.ok() ? decodeUntil(1) : status;
}

TagSet FfmpegSource::tags(Report&) const {
  TagSet tags;
  if (stream_ == nullptr) return tags;
  // Ogg keeps its comments with the stream, the other containers with the file.
  const AVDictionary* dictionaries[] = {stream_->format->metadata,
                                        stream_->format->streams[stream_->index]->metadata};
  // FFmpeg's names, then the names some containers keep (APE's "Album
  // Artist" and "Year"); a literal COMMENT before the DESCRIPTION that Ogg
  // also maps to "comment", as the FLAC reader takes it. Case is ignored
  // but where the flag says. The first key with a value gives the field,
  // with every entry of that key in the dictionary.
  const struct {
    std::string TagSet::*field;
    const char* keys[3];
    int flags;
  } fields[] = {
      {&TagSet::title, {"title"}, 0},
      {&TagSet::artist, {"artist"}, 0},
      {&TagSet::album, {"album"}, 0},
      {&TagSet::albumArtist, {"album_artist", "album artist", "albumartist"}, 0},
      {&TagSet::date, {"date", "year"}, 0},
      {&TagSet::genre, {"genre"}, 0},
      {&TagSet::comment, {"COMMENT"}, AV_DICT_MATCH_CASE},
      {&TagSet::comment, {"comment"}, 0},
      {&TagSet::track, {"track"}, 0},
      {&TagSet::disc, {"disc"}, 0},
      {&TagSet::cueSheet, {"cuesheet"}, 0},
  };
  for (const AVDictionary* dictionary : dictionaries)
    for (const auto& f : fields)
      for (const char* key : f.keys) {
        if (key == nullptr || !(tags.*f.field).empty()) continue;
        for (const AVDictionaryEntry* entry = nullptr;
             (entry = av_dict_get(dictionary, key, entry, f.flags)) != nullptr;)
          addTagValue(tags.*f.field, entry->value);
      }
  for (unsigned i = 0; i < stream_->format->nb_streams; ++i) {
    const AVStream* st = stream_->format->streams[i];
    if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 || st->attached_pic.size <= 0) continue;
    TagPicture picture;
    picture.mimeType = st->codecpar->codec_id == AV_CODEC_ID_PNG ? "image/png" : "image/jpeg";
    const AVDictionaryEntry* title = av_dict_get(st->metadata, "title", nullptr, 0);
    if (title != nullptr) picture.description = title->value;
    picture.data.assign(st->attached_pic.data, st->attached_pic.data + st->attached_pic.size);
    tags.pictures.push_back(std::move(picture));
  }
  return tags;
}

}  // namespace pulsemill
