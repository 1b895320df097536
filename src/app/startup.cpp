#include "app/startup.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/command_line.h"
#include "app/run_driver.h"
#include "base/diagnostics.h"
#include "base/files.h"
#include "base/interrupt_cleanup.h"
#include "base/kernel_isa.h"
#include "ffmpeg/ffmpeg_source.h"
#include "flac/flac_source.h"
#include "tags/tags.h"
#include "wave/wave_reader.h"

namespace pulsemill {

RateChoice resolveRateAndTaps(std::uint32_t sampleRate, int requestedDsdRate,
                              int requestedTapCount) {
  const int given = requestedTapCount;
  if (sampleRate == 176400 || sampleRate == 192000) {
    // Already at four times 44.1/48 kHz: always DSD256 at ratio 64.
    return {256, 64, given != 0 ? given : 4096};
  }
  if (sampleRate == 88200 || sampleRate == 96000) {
    if (requestedDsdRate == 256) return {256, 128, given != 0 ? given : 32768};
    return {128, 64, given != 0 ? given : 32768};
  }
  if (requestedDsdRate == 64) return {64, 64, given != 0 ? given : 32768};
  if (requestedDsdRate == 128) return {128, 128, given == 0 ? 32768 : (given > 4096 ? given : 4096)};
  return {256, 256, given == 0 ? 32768 : (given > 8192 ? given : 8192)};
}

std::string formatDebugPrefix(int dsdRate, int tapCount) {
  char text[64];
  std::snprintf(text, sizeof text, "C:\\TEMP\\DSD%d_T%d_", dsdRate, tapCount);
  return text;
}

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

enum class InputKind { Wave, Flac, Ffmpeg };

// Reads the header of the input's format (printing its report) and makes the
// source of its samples. A regular file's first bytes are read once more
// with pread, which leaves the stream where it is: a file that goes to
// FFmpeg but cannot be opened as audio there, if it is a RIFF file, is the
// WAVE reader's after all, from the same place.
Status openSource(const InputFile& input, const std::string& path,
                  std::unique_ptr<PcmSource>& source, InputKind& kind) {
  InputStart start;
  Status status = readInputStart(input.stream(), start);
  if (!status.ok()) return status;
  if (start.flac) {
    kind = InputKind::Flac;
    auto flac = std::make_unique<FlacSource>(
        input.stream(), std::vector<std::uint8_t>(start.magic, start.magic + 4));
    status = flac->open(input.regularFileSize());
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
      kind = InputKind::Ffmpeg;
      status = decoded->open(static_cast<std::uint64_t>(fileSize));
      source = std::move(decoded);
      return status;
    }
    if (std::memcmp(start.magic, "RIFF", 4) != 0) return status;
  }
  kind = InputKind::Wave;
  WaveInfo info;
  status = readWaveHeader(input.stream(), start.magic, info);
  if (status.ok()) source = std::make_unique<WaveSource>(input.stream(), info);
  return status;
}

Status startAndRun(int argc, const char* const* argv, RunSettings& settings) {
  Status status = parseCommandLine(argc, argv, settings);
  if (!status.ok()) return status;
  for (const std::string& warning : settings.warnings) std::fputs(warning.c_str(), stderr);
  if (settings.request == Request::Help) {
    std::fputs(helpText().c_str(), stdout);
    return Status();
  }
  if (settings.request == Request::Version) {
    std::printf("pulsemill %s (kernel variants this CPU runs:%s; the fastest on the run's filter "
                "is measured at start-up unless PULSEMILL_ISA names one)\n",
                kPulsemillVersion, supportedIsaNames().c_str());
    return Status();
  }
  KernelIsa isa;
  bool isaForced = false;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa, isaForced);
  if (!status.ok()) return status;
  installInterruptCleanup();

  InputFile input;
  status = input.open(settings.inputPath);
  if (!status.ok()) return status;
  if (isSameFile(input.stream(), settings.outputPath))
    return Status(StatusCode::SameFile, settings.outputPath);
  std::printf("finename = '%s'\n", settings.inputPath.c_str());

  std::unique_ptr<PcmSource> source;
  InputKind kind = InputKind::Wave;
  status = openSource(input, settings.inputPath, source, kind);
  if (!status.ok()) return status;

  const RateChoice choice =
      resolveRateAndTaps(source->sampleRate(), settings.dsdRate, settings.tapCount);
  settings.dsdRate = choice.dsdRate;
  settings.oversampleRatio = choice.oversampleRatio;
  settings.tapCount = choice.tapCount;
  std::printf("\nDSD%d: Oversample[%d] Sample[%d] Tap[%d] KaiserAlpha[%f]\n", settings.dsdRate,
              settings.oversampleRatio, settings.blockFrames, settings.tapCount,
              settings.kaiserAlpha);

  const Diagnostics diagnostics = settings.debugDumps
                                      ? Diagnostics(formatDebugPrefix(settings.dsdRate, settings.tapCount))
                                      : Diagnostics();
  status = diagnostics.checkNoneIsInput(input.stream());
  if (!status.ok()) return status;
  // Tags only go into DSF, and are read from a regular file only: a pipe's
  // bytes belong to the conversion.
  TagSet tags;
  if (settings.dsfOutput && input.regularFileSize() >= 0) {
    if (kind == InputKind::Flac) tags = readFlacTags(settings.inputPath);
    if (kind == InputKind::Wave) tags = readWaveTags(settings.inputPath);
    if (kind == InputKind::Ffmpeg) tags = static_cast<const FfmpegSource&>(*source).tags();
  }
  return runDriver(settings, *source, isa, isaForced, diagnostics, tags);
}

}  // namespace

int runPulsemill(int argc, const char* const* argv) {
  RunSettings settings;
  const Status status = startAndRun(argc, argv, settings);
  status.onFiles(settings.inputPath, settings.outputPath).report();
  std::fflush(stdout);
  return status.exitStatus();
}

}  // namespace pulsemill
