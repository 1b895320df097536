#include "app/run_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/output_sink.h"
#include "base/files.h"
#include "base/interrupt_cleanup.h"
#include "convert/conversion.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;

// The largest modulator input the shapers keep stable, in its units
// (decisions +-1): a 1 kHz sine from a float file converts at a peak of
// 0.4456 (-1 dBFS) with every fixed pattern and the rate shaper at DSD64
// and DSD256, and overloads at 0.472 (-0.5 dBFS) with pattern 2 at DSD256
// and the rate shaper at DSD64. The automatic gain aims the peak an
// overloaded attempt saw at it.
constexpr double kStableLevel = 0.47;

}  // namespace

std::string encoderSettings(const RunSettings& settings, std::uint32_t outputRate,
                            std::int64_t offset) {
  char shaper[32];
  if (usesRateShaper(settings))
    std::snprintf(shaper, sizeof shaper, "q%u",
                  rateShaperBand(selectRateShaper(outputRate), outputRate));
  else
    std::snprintf(shaper, sizeof shaper, "p%d", selectShaperPattern(settings.shaperPreset).number);
  char gain[48] = "";
  if (settings.gainDb != 0.0)
    std::snprintf(gain, sizeof gain, " g%g%s", settings.gainDb, settings.autoGain ? " auto" : "");
  char text[256];
  std::snprintf(text, sizeof text, "Pulsemill %s DSD%d %d taps k%g %s n%lld%s%s", kPulsemillVersion,
                settings.dsdRate, settings.tapCount, settings.kaiserAlpha, shaper,
                static_cast<long long>(offset), gain, settings.alignOutput ? " a" : "");
  return text;
}

double nextAutoGain(double gainDb, double peak, double stableLevel) {
  double next = gainDb - kAutoGainStepDb;
  if (peak > 0.0 && std::isfinite(peak)) {
    const double wanted = gainDb + 20.0 * std::log10(stableLevel / peak);
    next = std::min(next, std::floor(wanted / kAutoGainStepDb) * kAutoGainStepDb);
  }
  return std::max(next, kMinAutoGainDb);
}

Status runDriver(const RunSettings& settings, PcmSource& source, const Diagnostics& diagnostics,
                 const TagSet& tags, const JobContext& job) {
  const FilterParams filter{source.sampleRate(), settings.oversampleRatio, settings.tapCount,
                            settings.kaiserAlpha, job.threads};
  std::shared_ptr<const PhaseKernel> kernel;
  Status status = job.designs.phaseKernel(filter, diagnostics, kernel);
  if (!status.ok()) return status;
  const std::uint32_t outputRate =
      source.sampleRate() * static_cast<std::uint32_t>(settings.oversampleRatio);
  ShaperCoefficients shaper;
  if (usesRateShaper(settings)) {
    const RateShaper& row = selectRateShaper(outputRate);
    job.report.out("NoiseShaper design for %u Hz, band %u Hz\n\n", outputRate,
                   rateShaperBand(row, outputRate));
    shaper = rateShaperCoefficients(row, diagnostics);
  } else {
    const ShaperPattern& pattern = selectShaperPattern(settings.shaperPreset);
    job.report.out("%s", pattern.line);
    shaper = designShaper(pattern, diagnostics);
  }

  OutputFile output(settings.outputPath);
  OutputSink sink(settings.dsfOutput, settings.dsdiffTags, output);
  RunSettings attempt = settings;  // its gain lowered by the automatic gain
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset, job.threads,
                            settings.gainFactor, settings.alignOutput};
  options.cancelled = stopRequested;
  double peak = 0.0;
  if (settings.autoGain) options.modulatorPeak = &peak;
  // The rate shaper has no byte test: its guard restarts a loop gone unstable.
  OverloadGuard guard;
  if (usesRateShaper(settings)) {
    guard = rateShaperGuard(selectRateShaper(outputRate), outputRate);
    options.overloadGuard = &guard;
  }
  std::uint64_t restarts = 0;
  options.modulatorRestarts = &restarts;
  // The next attempt of the automatic gain, at the gain the overload suggests.
  const auto lowerGain = [&] {
    if (job.gain != nullptr && !job.gain->lowered) {
      job.gain->lowered = true;
      job.gain->overloadDb = attempt.gainDb;
    }
    setGain(attempt, nextAutoGain(attempt.gainDb, peak, kStableLevel));
    options.sampleGain = attempt.gainFactor;
  };
  for (int retry = 0;; ++retry) {
    if (sink.carriesTags())
      sink.setTags(tags, renderId3v2Tag(tags, encoderSettings(attempt, outputRate,
                                                              options.normalizeOffset),
                                        job.report));
    status = output.create();
    if (!status.ok()) return status;
    // An output that cannot seek (a pipe) takes the header's sizes up front,
    // from the input's declared length, and what is sent stays sent.
    const bool streamed = !output.seekable();
    if (streamed && output.isStandardOutput()) job.report.yieldStandardOutput();
    if (streamed && source.totalFrames() == 0)
      return Status(StatusCode::StreamedOutput)
          .because("the output cannot seek, so its header needs the input's length, which " +
                   settings.inputPath + " does not declare");
    peak = 0.0;
    status = convertStream(source, sink.sink(), *kernel, shaper, options, job.report);
    if (job.finalOffset != nullptr) *job.finalOffset = options.normalizeOffset;
    if (job.gain != nullptr) job.gain->finalDb = attempt.gainDb;
    if (status.ok()) {
      // The automatic gain prefers a lower gain to restarts, where the
      // input can be read again.
      if (restarts > 0 && settings.autoGain && !streamed && attempt.gainDb > kMinAutoGainDb &&
          source.rewind().ok()) {
        output.discard();
        lowerGain();
        continue;
      }
      if (restarts > 0)
        job.report.err("pulsemill: %s: %llu brief overload%s: the modulator restarted and recovered\n",
                       printableName(settings.inputPath).c_str(),
                       static_cast<unsigned long long>(restarts), restarts == 1 ? "" : "s");
      return output.commit();
    }
    output.discard();
    if (streamed) {
      job.report.err("pulsemill: %s: the bytes already sent are incomplete (an output that cannot "
                     "seek takes no retry)\n", printableName(settings.outputPath).c_str());
      return status;
    }
    // An output error (both channels held low) is an overload too: retried
    // like a clip, with its own line.
    const bool overload = status.code() == StatusCode::Clip || status.code() == StatusCode::DsdOutput;
    if (overload && settings.autoGain) {
      // Again from the start at the gain the overload suggests, down to
      // kMinAutoGainDb; a pipe cannot start again.
      if (attempt.gainDb <= kMinAutoGainDb) return status;
      const Status rewound = source.rewind();
      if (!rewound.ok()) {
        job.report.err("pulsemill: %s: cannot retry at a lower gain from a pipe; give --gain\n",
                       printableName(settings.inputPath).c_str());
        return status;
      }
      lowerGain();
      continue;
    }
    if (!overload || !settings.retryOnClip || retry >= kMaxRetries)
      return status;

    status.report(job.report);
    job.report.out("Retry again to set normalize offset -1 position.\n");
    options.normalizeOffset -= 1;
    status = source.rewind();
    if (!status.ok()) return status;
  }
}

}  // namespace pulsemill
