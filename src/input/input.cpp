#include "input/input.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/bytes.h"
#include "base/report.h"
#include "ffmpeg/ffmpeg_source.h"
#include "flac/flac_source.h"
#include "wave/wave_reader.h"

namespace pulsemill {

namespace {

// Bytes of the head the rows look at.
constexpr std::size_t kHeadBytes = 64;
// WavPack block header flags (at byte 24): hybrid (lossy) and DSD audio.
constexpr std::uint32_t kWavPackHybrid = 0x8;
constexpr std::uint32_t kWavPackDsd = 0x80000000u;

// --- Recognising the first bytes ---------------------------------------------

bool startsWith(const InputProbe& p, const char* id) {
  return p.head.size() >= 4 && isFourCc(p.head.data(), id);
}
bool at4(const InputProbe& p, const char* id) {
  return p.head.size() >= 8 && isFourCc(p.head.data() + 4, id);
}
std::uint32_t wavPackFlags(const InputProbe& p) {
  return p.head.size() >= 28 ? le32(p.head.data() + 24) : 0;
}

// FLAC's frame header CRC-8 (polynomial x^8 + x^2 + x + 1).
std::uint8_t crc8(const std::uint8_t* p, std::size_t n) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

// A FLAC frame header (sync 0xFFF8 or 0xFFF9) whose fields and CRC-8 hold:
// FLAC frames without the "fLaC" stream header.
bool isFlacFrame(const InputProbe& p) {
  const std::vector<std::uint8_t>& h = p.head;
  if (h.size() < 16 || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return false;
  if ((h[2] >> 4) == 0 || (h[2] & 0x0F) == 0x0F || (h[3] >> 4) > 10 || (h[3] & 0x01) != 0 ||
      ((h[3] >> 1) & 7) == 3)
    return false;
  std::size_t at = 4;  // the frame or sample number, UTF-8 coded
  int extra = 0;
  for (std::uint8_t lead = h[4]; lead & 0x80; lead = static_cast<std::uint8_t>(lead << 1)) ++extra;
  if (extra == 1 || extra > 7) return false;
  at += extra == 0 ? 1 : static_cast<std::size_t>(extra);
  const unsigned sizeCode = h[2] >> 4, rateCode = h[2] & 0x0F;
  at += sizeCode == 6 ? 1 : sizeCode == 7 ? 2 : 0;
  at += rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
  return at < h.size() && crc8(h.data(), at) == h[at];
}

// MPEG audio: ADTS (AAC, layer bits 0) or an MPEG-1/2 layer I-III frame sync.
bool isAdts(const InputProbe& p) {
  return p.head.size() >= 4 && p.head[0] == 0xFF && (p.head[1] & 0xF6) == 0xF0;
}
bool isMpegAudio(const InputProbe& p) {
  const auto& h = p.head;
  return h.size() >= 4 && h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && ((h[1] >> 1) & 3) != 0 &&
         ((h[1] >> 3) & 3) != 1 && (h[2] >> 4) != 0x0F;
}
const char* mpegLayer(const InputProbe& p) {
  switch ((p.head[1] >> 1) & 3) {
    case 3: return "MP1 audio is lossy";
    case 2: return "MP2 audio is lossy";
    default: return "MP3 audio is lossy";
  }
}

// --- Sources and tags by row ---------------------------------------------------

using OpenFn = Status (*)(const InputFile&, const std::string&, Report&, OpenedInput&);
using TagsFn = TagSet (*)(const OpenedInput&, int fd, Report&);

Status openWave(const InputFile&, const std::string&, Report&, OpenedInput&);
Status openFlac(const InputFile&, const std::string&, Report&, OpenedInput&);
Status openFfmpeg(const InputFile&, const std::string&, Report&, OpenedInput&);
Status openWavPack(const InputFile&, const std::string&, Report&, OpenedInput&);
Status openRefused(const InputFile&, const std::string&, Report&, OpenedInput&);
using IndexFn = void (*)(int fd, InputProbe&);
void indexRiff(int fd, InputProbe& p);
void indexW64(int fd, InputProbe& p);
void indexCaf(int fd, InputProbe& p);
void indexWavPack(int fd, InputProbe& p);
Status openAlreadyDsd(const InputFile&, const std::string&, Report&, OpenedInput&);
Status openMpegAudio(const InputFile&, const std::string&, Report&, OpenedInput&);

TagSet waveTags(const OpenedInput& in, int fd, Report& report) {
  return readWaveTags(fd, static_cast<std::uint64_t>(in.probe.fileSize), report);
}
TagSet flacTags(const OpenedInput& in, int fd, Report& report) {
  return readFlacTags(fd, in.probe.headOffset, static_cast<std::uint64_t>(in.probe.fileSize), report);
}
TagSet ffmpegTags(const OpenedInput& in, int, Report& report) {
  return in.ffmpeg != nullptr ? in.ffmpeg->tags(report) : TagSet();
}
// FFmpeg keeps only the first value of an APEv2 item: its texts are read
// from the tag itself, the pictures from FFmpeg.
TagSet apeTags(const OpenedInput& in, int fd, Report& report) {
  TagSet tags = ffmpegTags(in, fd, report);
  const TagSet ape = readApeTags(fd, static_cast<std::uint64_t>(in.probe.fileSize), report);
  for (std::string TagSet::*field : {&TagSet::title, &TagSet::artist, &TagSet::album,
                                     &TagSet::albumArtist, &TagSet::date, &TagSet::genre,
                                     &TagSet::comment, &TagSet::track, &TagSet::disc,
                                     &TagSet::cueSheet})
    if (!(ape.*field).empty()) tags.*field = ape.*field;
  return tags;
}

}  // namespace

// One row per format, in the order the probe tries them.
struct InputFormat {
  const char* name;        // in messages and reports
  const char* extensions;  // a folder walk's, lower case, space-separated; "" for none
  const char* magic;       // the first four bytes; nullptr: `matches` alone decides
  bool (*matches)(const InputProbe&);  // what the magic leaves open; nullptr: nothing
  bool afterId3;           // also recognised after a leading ID3v2 tag
  IndexFn index;           // reads a regular file's chunk index into the probe; nullptr: none
  OpenFn open;
  TagsFn tags;             // nullptr: none
  const char* demuxer;     // FFmpeg's, for the rows FFmpeg decodes
  const char* refusal;     // a refused row's reason (AlreadyDsd: its detail)
};

namespace {

bool isWavPackDsd(const InputProbe& p) { return (wavPackFlags(p) & kWavPackDsd) != 0; }
// A QuickTime or MP4 file's first atom: its size (at least its 8-byte
// header) and one of the types a file starts with.
bool isQuickTime(const InputProbe& p) {
  if (p.head.size() < 8 || (be32(p.head.data()) < 8 && be32(p.head.data()) != 1)) return false;
  for (const char* atom : {"ftyp", "moov", "mdat", "wide", "free", "skip"})
    if (at4(p, atom)) return true;
  return false;
}
bool isMatroska(const InputProbe& p) {
  static const std::uint8_t kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
  return p.head.size() >= 4 && std::memcmp(p.head.data(), kEbml, 4) == 0;
}

const InputFormat kFormats[] = {
    {"DSF", "", "DSD ", nullptr, false, nullptr, openAlreadyDsd, nullptr, nullptr, "a DSF or DSDIFF file"},
    {"DSDIFF", "", "FRM8", nullptr, false, nullptr, openAlreadyDsd, nullptr, nullptr, "a DSF or DSDIFF file"},
    {"WavPack DSD", "", "wvpk", isWavPackDsd, false, nullptr, openAlreadyDsd, nullptr, nullptr, "WavPack DSD"},
    {"FLAC", ".flac", "fLaC", nullptr, true, nullptr, openFlac, flacTags, nullptr, nullptr},
    {"WAVE", ".wav .wave", "RIFF", nullptr, false, indexRiff, openWave, waveTags, "wav", nullptr},
    {"RF64", ".rf64", "RF64", nullptr, false, indexRiff, openFfmpeg, ffmpegTags, "wav", nullptr},
    {"BW64", ".bw64", "BW64", nullptr, false, indexRiff, openFfmpeg, ffmpegTags, "wav", nullptr},
    {"W64", ".w64", "riff", nullptr, false, indexW64, openFfmpeg, ffmpegTags, "w64", nullptr},
    {"AIFF", ".aif .aiff .aifc", "FORM", nullptr, false, nullptr, openFfmpeg, ffmpegTags, "aiff", nullptr},
    {"CAF", ".caf", "caff", nullptr, false, indexCaf, openFfmpeg, ffmpegTags, "caf", nullptr},
    {"WavPack", ".wv", "wvpk", nullptr, false, indexWavPack, openWavPack, apeTags, "wv", nullptr},
    {"Ogg", ".oga .ogg", "OggS", nullptr, false, nullptr, openFfmpeg, ffmpegTags, "ogg", nullptr},
    {"MP4", ".m4a .mp4 .mov", nullptr, isQuickTime, false, nullptr, openFfmpeg, ffmpegTags, "mov", nullptr},
    {"Matroska", ".mka", nullptr, isMatroska, false, nullptr, openFfmpeg, ffmpegTags, "matroska", nullptr},
    {"Monkey's Audio", ".ape", "MAC ", nullptr, true, nullptr, openFfmpeg, apeTags, "ape", nullptr},
    {"TTA", ".tta", "TTA1", nullptr, true, nullptr, openFfmpeg, apeTags, "tta", nullptr},
    {"Sun AU", ".au .snd", ".snd", nullptr, false, nullptr, openFfmpeg, ffmpegTags, "au", nullptr},
    {"FLAC frames", "", nullptr, isFlacFrame, true, nullptr, openRefused, nullptr, nullptr,
     "FLAC frames without a stream header: not converted"},
    {"AAC", "", nullptr, isAdts, true, nullptr, openRefused, nullptr, nullptr,
     "AAC audio is lossy: not converted"},
    {"MPEG audio", "", nullptr, isMpegAudio, true, nullptr, openMpegAudio, nullptr, nullptr, nullptr},
};

// --- The probe -----------------------------------------------------------------

// Reads exactly `count` bytes from the stream (a pipe too).
bool readStream(std::FILE* file, void* buffer, std::size_t count) {
  return std::fread(buffer, 1, count, file) == count;
}

// Chunk indexes of regular files, one per container: where the data chunk
// lies and what it declares (FFmpeg's length of a file cut short is a
// guess from its size: the header's is the one to check), RIFF's format
// tag and CAF's packet table. A walk ends at a chunk that would run past
// the file (no size can wrap the offset around).

// A data chunk of size 0 at `at` is a streamed file's when bytes follow it
// that are no chunk header (the WAVE reader's rule).
bool isStreamedAfterEmptyData(int fd, std::uint64_t at, std::uint64_t size) {
  std::uint8_t h[8];
  if (at >= size) return false;
  if (size - at < sizeof h) return true;
  return readAt(fd, at, h, sizeof h) && !isChunkHeader(h, size - at - sizeof h);
}

// RIFF, RF64, BW64: little-endian sizes, the latter two's data size in "ds64".
// A data chunk of size 0 followed by bytes that are no chunk header is a
// streamed file's, as is 0xFFFFFFFF without ds64: neither declares a length.
void indexRiff(int fd, InputProbe& p) {
  const std::uint64_t size = static_cast<std::uint64_t>(p.fileSize);
  std::uint8_t h[8], body[26];
  std::uint64_t ds64Data = 0;
  bool haveDs64 = false;
  for (std::uint64_t at = 12; at + 8 <= size && readAt(fd, at, h, 8);) {
    const std::uint32_t bytes = le32(h + 4);
    const auto readBody = [&](std::size_t n) {
      return bytes >= n && n <= size - at - 8 && readAt(fd, at + 8, body, n);
    };
    if (isFourCc(h, "data")) {
      p.dataOffset = static_cast<std::int64_t>(at + 8);
      if (bytes == 0xFFFFFFFFu) p.dataBytes = haveDs64 ? static_cast<std::int64_t>(ds64Data) : -1;
      else if (bytes != 0 || !isStreamedAfterEmptyData(fd, at + 8, size)) p.dataBytes = bytes;
      return;
    }
    if (isFourCc(h, "fmt ") && readBody(2)) {
      p.formatTag = le16(body);
      if (p.formatTag == 0xFFFE && readBody(26)) p.formatTag = le16(body + 24);  // extensible
    }
    if (isFourCc(h, "ds64") && readBody(16)) {  // RIFF size, data size
      ds64Data = le64(body + 8);
      haveDs64 = ds64Data < (std::uint64_t{1} << 62);
    }
    at += 8 + std::uint64_t{bytes} + (bytes & 1);
  }
}

// Wave64: GUID chunks whose sizes count their 24-byte header.
void indexW64(int fd, InputProbe& p) {
  const std::uint64_t size = static_cast<std::uint64_t>(p.fileSize);
  std::uint8_t h[24];
  for (std::uint64_t at = 40; at + 24 <= size && readAt(fd, at, h, 24);) {
    const std::uint64_t bytes = le64(h + 16);
    if (isFourCc(h, "data") && bytes >= 24) {  // its size may pass a cut file's end
      p.dataOffset = static_cast<std::int64_t>(at + 24);
      p.dataBytes = bytes - 24 < (std::uint64_t{1} << 62) ? static_cast<std::int64_t>(bytes - 24) : -1;
      return;
    }
    if (bytes < 24 || bytes > size - at) return;
    at += (bytes + 7) & ~std::uint64_t{7};
  }
}

// CAF: big-endian sizes; the data chunk begins with an edit count; a
// packet table's priming, valid and remainder frames must add up to its
// packets times the description's frames per packet.
void indexCaf(int fd, InputProbe& p) {
  const std::uint64_t size = static_cast<std::uint64_t>(p.fileSize);
  std::uint8_t h[32];
  std::uint32_t framesPerPacket = 0;
  for (std::uint64_t at = 8; at + 12 <= size && readAt(fd, at, h, 12);) {
    const auto bytes = static_cast<std::int64_t>(be64(h + 4));
    const bool whole = bytes >= 0 && static_cast<std::uint64_t>(bytes) <= size - at - 12;
    if (isFourCc(h, "data")) {
      p.dataOffset = static_cast<std::int64_t>(at + 16);
      if (bytes >= 4) p.dataBytes = bytes - 4;  // -1: up to the end of the file
    }
    if (!whole) return;
    if (isFourCc(h, "desc") && bytes >= 32 && readAt(fd, at + 12, h, 32)) {
      framesPerPacket = be32(h + 20);
    } else if (isFourCc(h, "pakt") && bytes >= 24 && readAt(fd, at + 12, h, 24)) {
      const std::uint64_t packets = be64(h), valid = be64(h + 8);
      const std::uint64_t priming = be32(h + 16), remainder = be32(h + 20);
      const bool plausible = packets < (std::uint64_t{1} << 40) && valid < (std::uint64_t{1} << 62);
      p.validFrames = plausible ? static_cast<std::int64_t>(valid) : -1;
      p.packets = plausible ? packets : 0;
      p.framesPerPacket = framesPerPacket;
      p.packetTableAddsUp = framesPerPacket == 0 ||
                            (plausible && priming + valid + remainder == packets * framesPerPacket);
    }
    at += 12 + static_cast<std::uint64_t>(bytes);
  }
}

// WavPack: a trailing ID3v1 tag (after an APEv2 tag, as taggers leave them)
// is not a block, and FFmpeg's demuxer finds the APEv2 tag only when it
// ends the file: FFmpeg sees the file without it.
void indexWavPack(int fd, InputProbe& p) {
  const auto size = static_cast<std::uint64_t>(p.fileSize);
  std::uint8_t tag[3];
  if (size >= 128 && readAt(fd, size - 128, tag, 3) && std::memcmp(tag, "TAG", 3) == 0)
    p.audioEnd = size - 128;
}

Status probe(const InputFile& input, InputProbe& p) {
  std::FILE* stream = input.stream();
  const int fd = fileno(stream);
  p.fileSize = input.regularFileSize();
  std::uint8_t magic[4];
  if (!readStream(stream, magic, 4)) return Status(StatusCode::HeaderShort).because(streamReason(stream));
  if (std::memcmp(magic, "ID3", 3) == 0) {
    // A leading ID3v2 tag is read past (libFLAC and FFmpeg would skip it too).
    std::uint8_t header[6];  // version, flags, size (syncsafe)
    if (!readStream(stream, header, 6)) return StatusCode::NotRiff;
    std::uint64_t skip = syncsafe32(header + 2) + ((header[1] & 0x10) ? 10 : 0);  // a footer
    p.headOffset = 10 + skip;
    char discard[4096];
    while (skip > 0) {
      const std::size_t chunk = skip < sizeof discard ? skip : sizeof discard;
      if (!readStream(stream, discard, chunk)) return StatusCode::NotRiff;
      skip -= chunk;
    }
    if (!readStream(stream, magic, 4)) return StatusCode::NotRiff;
  }
  p.head.assign(magic, magic + 4);
  if (p.fileSize >= 0) {
    // The rest of the head from the file itself, the stream left where it is.
    std::uint8_t head[kHeadBytes];
    std::size_t got = 4;
    std::memcpy(head, magic, 4);
    const std::uint64_t left = static_cast<std::uint64_t>(p.fileSize) - p.headOffset;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kHeadBytes, left));
    if (want > 4 && readAt(fd, p.headOffset + 4, head + 4, want - 4)) got = want;
    p.head.assign(head, head + got);
    p.audioEnd = static_cast<std::uint64_t>(p.fileSize);
  } else if (!startsWith(p, "RIFF") && !startsWith(p, "fLaC")) {
    // Nothing else reads a pipe that neither the WAVE reader nor libFLAC
    // takes: a few more bytes name it.
    std::uint8_t more[24];
    const std::size_t got = std::fread(more, 1, sizeof more, stream);
    p.head.insert(p.head.end(), more, more + got);
  }
  return Status();
}

const InputFormat* rowOf(const InputProbe& p) {
  for (const InputFormat& row : kFormats)
    if ((p.headOffset == 0 || row.afterId3) && (row.magic == nullptr || startsWith(p, row.magic)) &&
        (row.matches == nullptr || row.matches(p)))
      return &row;
  return nullptr;
}

// --- Opening by row ------------------------------------------------------------

// A RIFF/WAVE file the WAVE reader refuses for its layout alone goes to
// FFmpeg: a first chunk that is not "fmt ", an extensible format chunk (18
// or 40 bytes), or a 16-byte one of a stereo 8-, 32- or 64-bit PCM or float
// stream at a rate the reader takes.
bool waveNeedsFfmpeg(const InputProbe& p) {
  const std::vector<std::uint8_t>& h = p.head;
  if (h.size() < 16 || !isFourCc(h.data() + 8, "WAVE")) return false;
  if (!isFourCc(h.data() + 12, "fmt ")) return true;  // JUNK first, say
  if (h.size() < 20) return false;
  const std::uint32_t fmtSize = le32(h.data() + 16);
  if (fmtSize == 18 || fmtSize == 40) return true;
  if (fmtSize != 16 || h.size() < 36) return false;
  const std::uint32_t tag = le16(h.data() + 20), channels = le16(h.data() + 22);
  const std::uint32_t rate = le32(h.data() + 24), blockAlign = le16(h.data() + 32);
  const std::uint32_t bits = le16(h.data() + 34);
  const bool wideOrNarrow = bits == 8 || bits == 32 || bits == 64;
  return (tag == 1 || tag == 3) && channels == 2 && rate != 0 && rate <= kMaxInputSampleRate &&
         wideOrNarrow && blockAlign == 2 * bits / 8;
}

// What a RIFF/WAVE file holds when it is not linear PCM: its codec by the
// format tag, or WavPack 3 data behind a plain header. Empty when neither.
std::string waveContents(int fd, const InputProbe& p) {
  std::uint8_t data[10];  // WavPack 3's header: "wvpk", its size, version 1 to 3
  if (p.dataOffset >= 0 && readAt(fd, static_cast<std::uint64_t>(p.dataOffset), data, 10) &&
      isFourCc(data, "wvpk") && le16(data + 8) >= 1 && le16(data + 8) <= 3)
    return "WavPack 3 is not supported";
  const std::string codec = p.formatTag != 0 ? waveFormatTagRefusal(p.formatTag) : std::string();
  return codec.empty() ? codec : codec + ": not converted";
}

Status openFfmpegSource(const InputFile& input, Report& report, OpenedInput& in,
                        bool fallBackToWave);

Status openWaveReader(const InputFile& input, Report& report, OpenedInput& in) {
  WaveInfo info;
  Status status = readWaveHeader(input.stream(), in.probe.head.data(), info, report);
  const bool regular = in.probe.fileSize >= 0;
  const std::string contents = regular ? waveContents(fileno(input.stream()), in.probe) : "";
  if (!status.ok()) return contents.empty() ? status : status.because(contents);
  if (!contents.empty()) return Status(StatusCode::InputRefused).because(contents);
  in.source = std::make_unique<WaveSource>(input.stream(), info);
  return status;
}

Status openWave(const InputFile& input, const std::string&, Report& report, OpenedInput& in) {
  if (in.probe.fileSize >= 0 && waveNeedsFfmpeg(in.probe))
    return openFfmpegSource(input, report, in, true);
  return openWaveReader(input, report, in);
}

Status openFfmpegSource(const InputFile& input, Report& report, OpenedInput& in,
                        bool fallBackToWave) {
  const InputProbe& p = in.probe;
  FfmpegInput what;
  what.fd = fileno(input.stream());
  what.end = p.audioEnd;
  what.container = in.format->name;
  if (startsWith(p, "FORM") && p.head.size() >= 12 && isFourCc(p.head.data() + 8, "AIFC"))
    what.container = "AIFC";
  what.demuxer = in.format->demuxer;
  what.declaredDataBytes = p.dataOffset >= 0 ? p.dataBytes : -1;
  what.declaredFrames = p.validFrames;
  what.declaredPackets = p.packets;
  what.framesPerPacket = p.framesPerPacket;
  if (!p.packetTableAddsUp)
    return Status(StatusCode::Decode).because("the packet table does not add up (the file is damaged)");
  auto source = std::make_unique<FfmpegSource>(what);
  Status status = source->probe();
  if (!status.ok()) {
    // A RIFF file FFmpeg cannot open as audio is the WAVE reader's after
    // all, from where the stream is.
    if (fallBackToWave) return openWaveReader(input, report, in);
    return status;
  }
  status = source->open(static_cast<std::uint64_t>(p.fileSize), report);
  if (status.code() == StatusCode::UnsupportedCodec && status.reason().empty() &&
      startsWith(p, "RIFF")) {
    const std::string contents = waveContents(what.fd, p);
    if (!contents.empty()) status = status.because(contents);
  }
  in.ffmpeg = source.get();
  in.source = std::move(source);
  return status;
}

Status openFfmpeg(const InputFile& input, const std::string&, Report& report, OpenedInput& in) {
  if (in.probe.fileSize < 0)
    return Status(StatusCode::InputRefused)
        .because(std::string(in.format->name) + " is read from a file only, not from a pipe");
  return openFfmpegSource(input, report, in, false);
}

Status openWavPack(const InputFile& input, const std::string& path, Report& report,
                   OpenedInput& in) {
  const Status status = openFfmpeg(input, path, report, in);
  // FFmpeg's decoder never reads a correction file (.wvc): hybrid blocks
  // decode to their lossy data.
  if (status.ok() && (wavPackFlags(in.probe) & kWavPackHybrid) != 0)
    report.err("pulsemill: %s: lossy WavPack (no correction file): converted from its lossy data\n",
               printableName(path).c_str());
  return status;
}

Status openFlac(const InputFile& input, const std::string&, Report& report, OpenedInput& in) {
  auto flac = std::make_unique<FlacSource>(input.stream(),
                                           std::vector<std::uint8_t>(in.probe.head.begin(),
                                                                     in.probe.head.begin() + 4));
  const Status status = flac->open(input.regularFileSize(), report);
  in.source = std::move(flac);
  return status;
}

Status openRefused(const InputFile&, const std::string&, Report&, OpenedInput& in) {
  return Status(StatusCode::InputRefused).because(in.format->refusal);
}

Status openAlreadyDsd(const InputFile&, const std::string&, Report&, OpenedInput& in) {
  return Status(StatusCode::AlreadyDsd, in.format->refusal);
}

Status openMpegAudio(const InputFile&, const std::string&, Report&, OpenedInput& in) {
  return Status(StatusCode::InputRefused).because(std::string(mpegLayer(in.probe)) + ": not converted");
}

}  // namespace

Status openInput(const InputFile& input, const std::string& path, Report& report,
                 OpenedInput& opened) {
  Status status = probe(input, opened.probe);
  if (!status.ok()) return status;
  opened.format = rowOf(opened.probe);
  if (opened.format != nullptr && opened.format->index != nullptr && opened.probe.fileSize >= 0 &&
      opened.probe.headOffset == 0)
    opened.format->index(fileno(input.stream()), opened.probe);
  // Anything else is the WAVE reader's, which says what it lacks.
  if (opened.format == nullptr) {
    if (opened.probe.headOffset != 0) return StatusCode::NotRiff;
    return openWaveReader(input, report, opened);
  }
  return opened.format->open(input, path, report, opened);
}

TagSet readInputTags(const OpenedInput& opened, const InputFile& input, Report& report) {
  if (opened.format == nullptr || opened.format->tags == nullptr || opened.source == nullptr ||
      opened.probe.fileSize < 0)
    return TagSet();
  return opened.format->tags(opened, fileno(input.stream()), report);
}

Status embeddedCueSheet(const OpenedInput& opened, const TagSet& tags, CueSheet& sheet, bool& found) {
  found = false;
  sheet = CueSheet();
  if (!tags.cueSheet.empty()) {
    found = true;
    Status status = parseCueSheet(tags.cueSheet, sheet);
    if (!status.ok()) return status;
    if (sheet.files.size() > 1)
      return Status(StatusCode::InputRefused)
          .because("line " + std::to_string(sheet.fileLines[1]) + ": a second FILE in a sheet the file carries");
    return Status();
  }
  const auto* flac = dynamic_cast<const FlacSource*>(opened.source.get());
  if (flac == nullptr || flac->cueTracks().empty()) return Status();
  found = true;
  sheet.inSamples = true;
  sheet.files.push_back(std::string());
  sheet.fileLines.push_back(0);
  for (const FlacCueTrack& block : flac->cueTracks()) {
    if (!sheet.tracks.empty() && block.start <= sheet.tracks.back().start)
      return Status(StatusCode::InputRefused)
          .because("CUESHEET block: track " + std::to_string(block.number) + " starts at sample " +
                   std::to_string(block.start) + ", not after track " +
                   std::to_string(sheet.tracks.back().number));
    CueTrack track;
    track.number = static_cast<int>(block.number);
    track.start = block.start;
    sheet.tracks.push_back(track);
  }
  return Status();
}

bool isInputExtension(const std::string& extension) {
  std::string ext = extension;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext.size() < 2 || ext[0] != '.') return false;
  for (const InputFormat& row : kFormats) {
    const std::string list = std::string(" ") + row.extensions + " ";
    if (list.find(" " + ext + " ") != std::string::npos) return true;
  }
  return false;
}

}  // namespace pulsemill
