#include "app/startup.h"

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/batch.h"
#include "app/command_line.h"
#include "app/gnu_command_line.h"
#include "app/run_driver.h"
#include "base/diagnostics.h"
#include "base/files.h"
#include "base/interrupt_cleanup.h"
#include "base/kernel_isa.h"
#include "input/input.h"

namespace pulsemill {

RateChoice resolveRateAndTaps(std::uint32_t sampleRate, int requestedDsdRate,
                              int requestedTapCount) {
  const int given = requestedTapCount;
  // The floor is applied to a given count only; the default keeps the
  // DSD256 row's taps per phase.
  const auto dsd512 = [given](int ratio, int defaultTaps) {
    const int floor = 32 * ratio;
    return RateChoice{512, ratio, given == 0 ? defaultTaps : (given > floor ? given : floor)};
  };
  if (sampleRate == 176400 || sampleRate == 192000) {
    if (requestedDsdRate == 512) return dsd512(128, 8192);
    // Already at four times 44.1/48 kHz: DSD256 at ratio 64 for any other request.
    return {256, 64, given != 0 ? given : 4096};
  }
  if (sampleRate == 88200 || sampleRate == 96000) {
    if (requestedDsdRate == 512) return dsd512(256, 65536);
    if (requestedDsdRate == 256) return {256, 128, given != 0 ? given : 32768};
    return {128, 64, given != 0 ? given : 32768};
  }
  if (requestedDsdRate == 512) return dsd512(512, 65536);
  if (requestedDsdRate == 64) return {64, 64, given != 0 ? given : 32768};
  if (requestedDsdRate == 128) return {128, 128, given == 0 ? 32768 : (given > 4096 ? given : 4096)};
  return {256, 256, given == 0 ? 32768 : (given > 8192 ? given : 8192)};
}

RateChoice resolveFamilyRate(std::uint32_t sampleRate, int requestedDsdRate,
                             int requestedTapCount, std::string& warning) {
  warning.clear();
  if (sampleRate >= 44100)
    return resolveRateAndTaps(sampleRate, requestedDsdRate, requestedTapCount);
  int doublings = 0;  // sampleRate x 2^doublings is the family's base rate
  for (int k = 1; k <= 3 && doublings == 0; ++k)
    if ((sampleRate << k) == 44100 || (sampleRate << k) == 48000) doublings = k;
  char text[160];
  if (doublings == 0) {
    const RateChoice choice = resolveRateAndTaps(sampleRate, requestedDsdRate, requestedTapCount);
    // Below 44.1 kHz and at most ratio 512: the product fits 32 bits.
    std::snprintf(text, sizeof text, "%u Hz input gives %u Hz DSD, not a standard DSD rate",
                  sampleRate, sampleRate * static_cast<std::uint32_t>(choice.oversampleRatio));
    warning = text;
    return choice;
  }
  int ratio = requestedDsdRate << doublings;
  if (ratio > 512) {
    ratio = 512;
    std::snprintf(text, sizeof text, "DSD%d asked, DSD%d given (%u Hz input: ratio 512 at most)",
                  requestedDsdRate, ratio >> doublings, sampleRate);
    warning = text;
  }
  // The 44.1 kHz row of DSD multiple `ratio` runs at that ratio: its taps.
  return {ratio >> doublings, ratio, resolveRateAndTaps(44100, ratio, requestedTapCount).tapCount};
}

RateChoice resolveRunRate(const RunSettings& settings, std::uint32_t sampleRate,
                          std::string& warning) {
  warning.clear();
  if (settings.familyRate)
    return resolveFamilyRate(sampleRate, settings.dsdRate, settings.tapCount, warning);
  return resolveRateAndTaps(sampleRate, settings.dsdRate, settings.tapCount);
}

std::string formatDebugPrefix(int dsdRate, int tapCount) {
  char text[64];
  std::snprintf(text, sizeof text, "C:\\TEMP\\DSD%d_T%d_", dsdRate, tapCount);
  return text;
}

Status convertFile(RunSettings settings, const JobContext& job) {
  InputFile input;
  Status status = input.open(settings.inputPath);
  if (!status.ok()) return status;
  if (isSameFile(input.stream(), settings.outputPath))
    return Status(StatusCode::SameFile, settings.outputPath);
  job.report.out("finename = '%s'\n", settings.inputPath.c_str());

  OpenedInput opened;
  status = openInput(input, settings.inputPath, job.report, opened);
  if (!status.ok()) return status;
  PcmSource& source = *opened.source;

  std::string rateWarning;
  const RateChoice choice = resolveRunRate(settings, source.sampleRate(), rateWarning);
  if (!rateWarning.empty()) {
    const std::string line = "pulsemill: " + settings.inputPath + ": " + rateWarning + "\n";
    job.report.err("%s", line.c_str());
    if (job.warnings != nullptr) *job.warnings += line;
  }
  settings.dsdRate = choice.dsdRate;
  settings.oversampleRatio = choice.oversampleRatio;
  settings.tapCount = choice.tapCount;
  if (settings.positiveGainOnly && settings.oversampleRatio + settings.normalizeOffset <= 0)
    return Status(StatusCode::BadOption,
                  "--offset " + std::to_string(settings.normalizeOffset) + " leaves no gain at ratio " +
                      std::to_string(settings.oversampleRatio) + " (ratio + offset must be above 0)");
  job.report.out("\nDSD%d: Oversample[%d] Sample[%d] Tap[%d] KaiserAlpha[%f]\n",
                 settings.dsdRate, settings.oversampleRatio, settings.blockFrames,
                 settings.tapCount, settings.kaiserAlpha);

  const Diagnostics diagnostics =
      settings.debugDumps
          ? Diagnostics(settings.diagnosticsFolder.empty()
                            ? formatDebugPrefix(settings.dsdRate, settings.tapCount)
                            : settings.diagnosticsFolder + "/",
                        job.report)
          : Diagnostics();
  status = diagnostics.checkNoneIsInput(input.stream());
  if (!status.ok()) return status;
  // Tags only go into DSF, and are read from a regular file only: a pipe's
  // bytes belong to the conversion.
  TagSet tags;
  if (settings.dsfOutput && input.regularFileSize() >= 0)
    tags = readInputTags(opened, input, job.report);
  return runDriver(settings, source, diagnostics, tags, job);
}

namespace {

void printVersion(Report& report) {
  report.out("pulsemill %s (kernel variants this CPU runs:%s; the fastest on the run's filter "
             "is measured at start-up unless PULSEMILL_ISA names one)\n",
             kPulsemillVersion, supportedIsaNames().c_str());
}

Status startAndRun(int argc, const char* const* argv, RunSettings& settings, Report& report) {
  Status status = parseCommandLine(argc, argv, settings);
  if (!status.ok()) return status;
  for (const std::string& warning : settings.warnings) report.err("%s", warning.c_str());
  if (settings.request == Request::Help) {
    report.out("%s", helpText().c_str());
    return Status();
  }
  if (settings.request == Request::Version) {
    printVersion(report);
    return Status();
  }
  KernelIsa isa;
  bool isaForced = false;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa, isaForced);
  if (!status.ok()) return status;
  installInterruptCleanup();

  DesignCache designs(isa, isaForced);
  // Every core, capped by OMP_NUM_THREADS: a single run has the process.
  return convertFile(settings, JobContext{report, omp_get_max_threads(), designs});
}

// A GNU-style line: the batch driver, for one file as for many.
int runGnuStyle(int argc, const char* const* argv, Report& console) {
  BatchSettings settings;
  Status status = parseGnuCommandLine(argc, argv, settings);
  if (status.ok() && settings.request == Request::Help) console.out("%s", gnuHelpText().c_str());
  if (status.ok() && settings.request == Request::Version) printVersion(console);
  if (!status.ok() || settings.request != Request::Convert) {
    status.report(console);
    console.flush();
    return status.exitStatus();
  }
  KernelIsa isa;
  bool isaForced = false;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa, isaForced);
  if (!status.ok()) {
    status.report(console);
    return status.exitStatus();
  }
  installInterruptCleanup();
  for (const std::string& warning : settings.run.warnings) console.err("%s", warning.c_str());
  return runBatch(settings, isa, isaForced, console);
}

}  // namespace

int runPulsemill(int argc, const char* const* argv) {
  ConsoleReport console;
  // "--help", "-h" and "--version" alone keep the slash grammar's texts.
  const bool alone = argc == 2 && (std::string(argv[1]) == "--help" ||
                                   std::string(argv[1]) == "-h" ||
                                   std::string(argv[1]) == "--version");
  if (!alone && isGnuCommandLine(argc, argv)) return runGnuStyle(argc, argv, console);
  RunSettings settings;
  const Status status = startAndRun(argc, argv, settings, console);
  status.onFiles(settings.inputPath, settings.outputPath).report(console);
  console.flush();
  return status.exitStatus();
}

}  // namespace pulsemill
