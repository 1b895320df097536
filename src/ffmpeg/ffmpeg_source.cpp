#include "ffmpeg/ffmpeg_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace pulsemill {

struct FfmpegStream {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int index = -1;  // the audio stream's
};

namespace {

// Highest sample rate the rate arithmetic takes (as for WAVE and FLAC).
constexpr std::uint32_t kMaxSampleRate = 8388607;
// Largest single allocation FFmpeg may make: room for a 16 MiB picture
// (the tag's bound) several times over.
constexpr std::size_t kMaxAllocation = std::size_t{64} << 20;

std::uint32_t le16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
bool is(const std::uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

struct Container {
  const char* magic;    // the first four bytes
  const char* name;     // in the report
  const char* demuxer;  // FFmpeg's
};

constexpr Container kContainers[] = {
    {"RIFF", "WAVE", "wav"}, {"RF64", "RF64", "wav"}, {"BW64", "BW64", "wav"},
    {"FORM", "AIFF", "aiff"}, {"caff", "CAF", "caf"}, {"riff", "W64", "w64"},
    {"wvpk", "WavPack", "wv"}, {"OggS", "Ogg", "ogg"},
};
constexpr Container kMp4 = {"ftyp", "MP4", "mov"};  // "ftyp" at byte 4

const Container* containerOf(const std::uint8_t* head, std::size_t length) {
  if (length < 4) return nullptr;
  for (const Container& c : kContainers)
    if (is(head, c.magic)) return &c;
  if (length >= 8 && is(head + 4, "ftyp")) return &kMp4;
  return nullptr;
}

std::uint64_t le64(const std::uint8_t* p) {
  return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}
std::uint64_t be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

// The byte count a RIFF, RF64/BW64, Wave64 or CAF file's data chunk
// declares, read from its header: FFmpeg's length of such a file is a guess
// from the file's size when the file is cut short. -1 when the header
// leaves it open (a streamed file's placeholder) or has no data chunk.
std::int64_t declaredDataBytes(const std::string& path, const std::string& container) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  std::uint8_t h[24];
  const auto readAt = [&](std::uint64_t at, std::size_t n) {
    return at < (std::uint64_t{1} << 62) && fseeko(file, static_cast<off_t>(at), SEEK_SET) == 0 &&
           std::fread(h, 1, n, file) == n;
  };
  std::int64_t bytes = -1;
  if (container == "W64") {  // GUID chunks; sizes count their 24-byte header
    for (std::uint64_t at = 40; readAt(at, 24);) {
      const std::uint64_t size = le64(h + 16);
      if (is(h, "data")) {
        if (size >= 24) bytes = static_cast<std::int64_t>(size - 24);
        break;
      }
      if (size < 24) break;
      at += (size + 7) & ~std::uint64_t{7};
    }
  } else if (container == "CAF") {  // big-endian sizes; data begins with an edit count
    for (std::uint64_t at = 8; readAt(at, 12);) {
      const auto size = static_cast<std::int64_t>(be64(h + 4));
      if (is(h, "data")) {
        if (size >= 4) bytes = size - 4;  // -1: up to the end of the file
        break;
      }
      if (size < 0) break;
      at += 12 + static_cast<std::uint64_t>(size);
    }
  } else {  // RIFF, RF64, BW64; the latter two keep the size in "ds64"
    std::uint64_t ds64Data = 0;
    bool haveDs64 = false;
    for (std::uint64_t at = 12; readAt(at, 8);) {
      const std::uint32_t size = le32(h + 4);
      if (is(h, "data")) {
        if (size != 0xFFFFFFFFu) bytes = size;
        else if (haveDs64) bytes = static_cast<std::int64_t>(ds64Data);
        break;
      }
      if (is(h, "ds64") && readAt(at + 8, 16)) {  // RIFF size, data size
        ds64Data = le64(h + 8);
        haveDs64 = ds64Data < (std::uint64_t{1} << 62);
      }
      at += 8 + std::uint64_t{size} + (size & 1);
    }
  }
  std::fclose(file);
  return bytes;
}


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
      return true;
    default:
      return false;
  }
}
bool isPcmCodec(AVCodecID id) {
  return isSupportedCodec(id) && id != AV_CODEC_ID_FLAC && id != AV_CODEC_ID_ALAC &&
         id != AV_CODEC_ID_WAVPACK;
}


// The converter's scale of a sample s in 24-bit units (decodeSampleWord's
// arithmetic, unrounded).
inline double onScale(double s) { return s >= 0.0 ? s / 16777215.0 : (s + 16777216.0) / 16777215.0 - 1.0; }

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

// True when the Ogg file at `path` ends with a whole page that closes its
// stream (the end-of-stream flag). FFmpeg's demuxer drops a page cut short
// without a word, and Ogg FLAC as ffmpeg writes it declares no length: a
// file cut anywhere ends without that page.
bool oggEndsWithLastPage(const std::string& path) {
  constexpr long kMaxPage = 27 + 255 + 255 * 255;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<std::uint8_t> tail;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    const long start = size > kMaxPage ? size - kMaxPage : 0;
    tail.resize(static_cast<std::size_t>(size - start));
    if (std::fseek(file, start, SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), file) != tail.size())
      tail.clear();
  }
  std::fclose(file);
  for (std::size_t at = tail.size() >= 27 ? tail.size() - 27 : 0; at + 27 <= tail.size(); --at) {
    const std::uint8_t* page = tail.data() + at;
    if (is(page, "OggS") && at + 27 + page[26] <= tail.size()) {
      std::size_t length = 27 + page[26];
      for (int s = 0; s < page[26]; ++s) length += page[27 + s];
      if (at + length == tail.size()) return (page[5] & 0x04) != 0;
    }
    if (at == 0) break;
  }
  return false;
}

}  // namespace

InputRoute routeInput(const std::uint8_t* head, std::size_t length) {
  if (length >= 4 && (is(head, "DSD ") || is(head, "FRM8"))) return InputRoute::Dsd;
  const Container* container = containerOf(head, length);
  if (container == nullptr) return InputRoute::Exact;
  if (!is(head, "RIFF")) return InputRoute::Ffmpeg;
  if (length < 16 || !is(head + 8, "WAVE")) return InputRoute::Exact;
  if (!is(head + 12, "fmt ")) return InputRoute::Ffmpeg;  // JUNK first, say
  if (length < 20) return InputRoute::Exact;
  const std::uint32_t fmtSize = le32(head + 16);
  if (fmtSize == 18 || fmtSize == 40) return InputRoute::Ffmpeg;
  if (fmtSize != 16 || length < 36) return InputRoute::Exact;
  const std::uint32_t tag = le16(head + 20), channels = le16(head + 22), rate = le32(head + 24);
  const std::uint32_t blockAlign = le16(head + 32), bits = le16(head + 34);
  const bool wideOrNarrow = bits == 8 || bits == 32 || bits == 64;
  if ((tag == 1 || tag == 3) && channels == 2 && rate != 0 && rate <= kMaxSampleRate &&
      wideOrNarrow && blockAlign == 2 * bits / 8)
    return InputRoute::Ffmpeg;
  return InputRoute::Exact;
}

FfmpegSource::FfmpegSource(std::string path, const std::uint8_t* head, std::size_t length)
    : path_(std::move(path)) {
  const Container* container = containerOf(head, length);
  container_ = container != nullptr ? container->name : "?";
  demuxer_ = container != nullptr ? container->demuxer : nullptr;
  if (length >= 12 && is(head, "FORM") && is(head + 8, "AIFC")) container_ = "AIFC";
}

FfmpegSource::~FfmpegSource() { close(); }

void FfmpegSource::close() {
  if (stream_ == nullptr) return;
  av_frame_free(&stream_->frame);
  av_packet_free(&stream_->packet);
  avcodec_free_context(&stream_->codec);
  avformat_close_input(&stream_->format);
  delete stream_;
  stream_ = nullptr;
}

Status FfmpegSource::damage(const std::string& reason) {
  if (error_.empty()) error_ = reason;
  return Status(StatusCode::Decode).because(error_);
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
  const AVInputFormat* format = demuxer_ != nullptr ? av_find_input_format(demuxer_) : nullptr;
  int result = avformat_open_input(&stream_->format, path_.c_str(), format, nullptr);
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
  const int channels = par->ch_layout.nb_channels;
  // The declared length: a PCM container's data chunk, else the stream's
  // duration where the header gives it (not where FFmpeg estimates it).
  const bool chunked = container_ == "WAVE" || container_ == "RF64" || container_ == "BW64" ||
                       container_ == "W64" || container_ == "CAF";
  if (chunked && isPcmCodec(par->codec_id) && par->block_align > 0) {
    const std::int64_t bytes = declaredDataBytes(path_, container_);
    if (bytes > 0) declaredFrames_ = static_cast<std::uint64_t>(bytes) / static_cast<unsigned>(par->block_align);
  } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0 && par->sample_rate > 0 &&
             stream_->format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    declaredFrames_ = static_cast<std::uint64_t>(
        av_rescale_q(st->duration, st->time_base, AVRational{1, par->sample_rate}));
  }

  report.out("[%s] (%llu bytes)\n", container_.c_str(), static_cast<unsigned long long>(fileSize));
  report.out("  Codec = %s\n", codecName.c_str());
  reportStream(report, static_cast<unsigned>(channels), sampleRate_, bits_, declaredFrames_);
  if (!isSupportedCodec(par->codec_id)) return Status(StatusCode::UnsupportedCodec, codecName);
  if (channels != 2) return Status(StatusCode::InputChannels, std::to_string(channels));
  if (sampleRate_ == 0 || sampleRate_ > kMaxSampleRate) return StatusCode::SampleRate;
  if (container_ == "Ogg" && !oggEndsWithLastPage(path_))
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
  if (frame->ch_layout.nb_channels != 2) return damage("a frame's channel count changes");
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
    decoded_.push(onScale(unitsLeft_[k]), onScale(unitsRight_[k]));
  }
  framesDecoded_ += n;
  return Status();
}

Status FfmpegSource::decodeUntil(std::size_t frames) {
  while (buffered() < frames && !endOfStream_) {
    if (!error_.empty()) return damage(error_);
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
      if (declaredFrames_ != 0 && framesDecoded_ < declaredFrames_)
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
      if ((stream_->packet->flags & AV_PKT_FLAG_CORRUPT) != 0) result = AVERROR_INVALIDDATA;
      else if (trimPcmPad()) result = AVERROR_INVALIDDATA;
      else if (stream_->packet->size > 0) result = avcodec_send_packet(stream_->codec, stream_->packet);
    }
    av_packet_unref(stream_->packet);
    if (result < 0) return damage(ffmpegText(result));
  }
  return Status();
}

bool FfmpegSource::trimPcmPad() {
  AVPacket* packet = stream_->packet;
  const AVCodecParameters* par = stream_->format->streams[stream_->index]->codecpar;
  const int blockAlign = par->block_align;
  if (!isPcmCodec(par->codec_id) || blockAlign <= 0 || packet->size % blockAlign == 0) return false;
  // Part of a frame: zero bytes that pad the data to the container's
  // alignment (ffmpeg's Wave64 writer counts them in the data chunk's size),
  // or a stream cut inside a frame.
  const int whole = packet->size - packet->size % blockAlign;
  for (int i = whole; i < packet->size; ++i)
    if (packet->data[i] != 0) return true;
  packet->size = whole;
  return false;
}

Status FfmpegSource::rewind() {
  // Opened afresh: the exact start, whatever the demuxer's seeking can do.
  error_.clear();
  decoded_.clear();
  framesRead_ = framesDecoded_ = 0;
  flushing_ = endOfStream_ = false;
  Status status = probe();
  if (status.ok()) status = openDecoder();
  return status.ok() ? decodeUntil(1) : status;
}

TagSet FfmpegSource::tags(int fd, std::uint64_t fileSize, Report& report) const {
  // A RIFF/WAVE file's LIST/INFO and id3 chunks: the WAVE reader's tags,
  // bounded and with its Latin-1 rule, whatever its format chunk says.
  if (container_ == "WAVE") return readWaveTags(fd, fileSize, report);
  TagSet tags;
  if (stream_ == nullptr) return tags;
  // Ogg keeps its comments with the stream, the other containers with the file.
  const AVDictionary* dictionaries[] = {stream_->format->metadata,
                                        stream_->format->streams[stream_->index]->metadata};
  // FFmpeg's names, then the names some containers keep (APE's "Album
  // Artist" and "Year"); a literal COMMENT before the DESCRIPTION that Ogg
  // also maps to "comment", as the FLAC reader takes it. Case is ignored
  // but where the flag says.
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
  };
  for (const AVDictionary* dictionary : dictionaries)
    for (const auto& f : fields)
      for (const char* key : f.keys) {
        const AVDictionaryEntry* entry =
            key != nullptr ? av_dict_get(dictionary, key, nullptr, f.flags) : nullptr;
        if (entry != nullptr && (tags.*f.field).empty()) tags.*f.field = entry->value;
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
