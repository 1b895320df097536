#include "app/startup.h"

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/run_driver.h"
#include "base/diagnostics.h"
#include "base/files.h"
#include "base/interrupt_cleanup.h"
#include "base/kernel_isa.h"
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

Status startAndRun(int argc, const char* const* argv) {
  RunSettings settings;
  Status status = parseCommandLine(argc, argv, settings);
  if (!status.ok()) return status;
  KernelIsa isa;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa);
  if (!status.ok()) return status;
  installInterruptCleanup();

  InputFile input;
  status = input.open(settings.inputPath);
  if (!status.ok()) return status;
  if (isSameFile(input.stream(), settings.outputPath))
    return Status(StatusCode::SameFile, settings.outputPath);
  std::printf("finename = '%s'\n", settings.inputPath.c_str());

  WaveInfo info;
  status = readWaveHeader(input.stream(), info);
  if (!status.ok()) return status;
  WaveSource source(input.stream(), info);

  const RateChoice choice = resolveRateAndTaps(info.sampleRate, settings.dsdRate, settings.tapCount);
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
  if (settings.dsfOutput && input.isRegularFile()) tags = readWaveTags(settings.inputPath);
  return runDriver(settings, source, isa, diagnostics, tags);
}

}  // namespace

int runPulsemill(int argc, const char* const* argv) {
  const Status status = startAndRun(argc, argv);
  status.report();
  std::fflush(stdout);
  return status.exitStatus();
}

}  // namespace pulsemill
