#include "app/formats.h"

#include <unistd.h>

#include <cstring>

#include "base/bytes.h"
#include "dsdiff/dsdiff_writer.h"
#include "dsf/dsf_writer.h"
#include "ffmpeg/ffmpeg_source.h"
#include "flac/flac_source.h"
#include "wave/wave_reader.h"

namespace pulsemill {

namespace {

// The input's first bytes, read once (never by seeking: the input may be a
// pipe) to tell FLAC from WAVE.
struct InputStart {
  std::uint8_t magic[4] = {};
  bool flac = false;
};

// FLAC begins with "fLaC", or with an ID3v2 tag and then "fLaC"; the tag is
// read past (libFLAC would skip it too). Every other input is for the WAVE
// reader: HeaderShort for fewer than four bytes as it would say, NotRiff
// for a tag not followed by FLAC.
Status readInputStart(std::FILE* file, InputStart& start) {
  if (std::fread(start.magic, 1, 4, file) != 4)
    return Status(StatusCode::HeaderShort).because(streamReason(file));
  if (isFlacMagic(start.magic)) {
    start.flac = true;
  } else if (std::memcmp(start.magic, "ID3", 3) == 0) {
    std::uint8_t header[6];  // version, flags, size (7 bits per byte)
    if (std::fread(header, 1, 6, file) != 6) return StatusCode::NotRiff;
    std::uint64_t skip = 0;
    for (int i = 2; i < 6; ++i) skip = (skip << 7) | (header[i] & 0x7F);
    if (header[1] & 0x10) skip += 10;  // footer
    char discard[4096];
    while (skip > 0) {
      const std::size_t chunk = skip < sizeof discard ? skip : sizeof discard;
      if (std::fread(discard, 1, chunk, file) != chunk) return StatusCode::NotRiff;
      skip -= chunk;
    }
    if (std::fread(start.magic, 1, 4, file) != 4 || !isFlacMagic(start.magic))
      return StatusCode::NotRiff;
    start.flac = true;
  }
  return Status();
}

// Reads the header of the input's format (printing its report) and makes the
// source of its samples. A regular file's first bytes are read once more
// with pread, which leaves the stream where it is: a file that goes to
// FFmpeg but cannot be opened as audio there, if it is a RIFF file, is the
// WAVE reader's after all, from the same place.
Status openSource(const InputFile& input, const std::string& path,
                  std::unique_ptr<PcmSource>& source, InputFormat& kind, Report& report) {
  InputStart start;
  Status status = readInputStart(input.stream(), start);
  if (!status.ok()) return status;
  if (start.flac) {
    kind = InputFormat::Flac;
    auto flac = std::make_unique<FlacSource>(
        input.stream(), std::vector<std::uint8_t>(start.magic, start.magic + 4));
    status = flac->open(input.regularFileSize(), report);
    source = std::move(flac);
    return status;
  }
  std::uint8_t head[kRouteHeadBytes];
  std::memcpy(head, start.magic, 4);
  std::size_t length = 4;
  const std::int64_t fileSize = input.regularFileSize();
  if (fileSize >= 0) {
    const ssize_t got = pread(fileno(input.stream()), head, sizeof head, 0);
    length = got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  const InputRoute route = routeInput(head, length);
  if (route == InputRoute::Dsd) return StatusCode::AlreadyDsd;
  if (route == InputRoute::Ffmpeg && fileSize >= 0) {
    auto decoded = std::make_unique<FfmpegSource>(path, head, length);
    status = decoded->probe();
    if (status.ok()) {
      kind = InputFormat::Ffmpeg;
      status = decoded->open(static_cast<std::uint64_t>(fileSize), report);
      source = std::move(decoded);
      return status;
    }
    if (std::memcmp(start.magic, "RIFF", 4) != 0) return status;
  }
  kind = InputFormat::Wave;
  WaveInfo info;
  status = readWaveHeader(input.stream(), start.magic, info, report);
  if (status.ok()) source = std::make_unique<WaveSource>(input.stream(), info);
  return status;
}

// Where a FLAC file's "fLaC" is: at the start, or after an ID3v2 tag (and
// its footer), as readInputStart reads past it.
std::uint64_t flacMarkerOffset(int fd) {
  std::uint8_t id3[10];
  if (!readAt(fd, 0, id3, sizeof id3) || std::memcmp(id3, "ID3", 3) != 0) return 0;
  return 10 + std::uint64_t{syncsafe32(id3 + 6)} + ((id3[5] & 0x10) ? 10 : 0);
}

// One row per input format: the reader of its tags.
struct InputFormatRow {
  InputFormat format;
  TagSet (*readTags)(const OpenedInput& opened, Report& report);
};

constexpr InputFormatRow kInputFormats[] = {
    {InputFormat::Wave,
     [](const OpenedInput& opened, Report& report) {
       return readWaveTags(opened.fd, static_cast<std::uint64_t>(opened.fileSize), report);
     }},
    {InputFormat::Flac,
     [](const OpenedInput& opened, Report& report) {
       return readFlacTags(opened.fd, flacMarkerOffset(opened.fd),
                           static_cast<std::uint64_t>(opened.fileSize), report);
     }},
    {InputFormat::Ffmpeg,
     [](const OpenedInput& opened, Report& report) {
       return static_cast<const FfmpegSource&>(*opened.source)
           .tags(opened.fd, static_cast<std::uint64_t>(opened.fileSize), report);
     }},
};

}  // namespace

Status openInput(const InputFile& input, const std::string& path, Report& report,
                 OpenedInput& opened) {
  opened.fd = fileno(input.stream());
  opened.fileSize = input.regularFileSize();
  return openSource(input, path, opened.source, opened.format, report);
}

TagSet readInputTags(const OpenedInput& opened, const std::string&, Report& report) {
  for (const InputFormatRow& row : kInputFormats)
    if (row.format == opened.format && opened.source != nullptr && opened.fileSize >= 0)
      return row.readTags(opened, report);
  return TagSet();
}

OutputSink::OutputSink(bool dsf, OutputFile& file) {
  if (dsf) {
    auto sink = std::make_unique<DsfSink>(file);
    dsf_ = sink.get();
    sink_ = std::move(sink);
  } else {
    sink_ = std::make_unique<DsdiffSink>(file);
  }
}

OutputSink::~OutputSink() = default;

void OutputSink::setTag(std::vector<std::uint8_t> tag) {
  if (dsf_ != nullptr) dsf_->setTag(std::move(tag));
}

}  // namespace pulsemill
