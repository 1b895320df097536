#include "app/run_driver.h"

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

}  // namespace

std::string encoderSettings(const RunSettings& settings, std::uint32_t outputRate,
                            std::int64_t offset) {
  char shaper[32];
  if (usesRateShaper(settings))
    std::snprintf(shaper, sizeof shaper, "q%u",
                  rateShaperBand(selectRateShaper(outputRate), outputRate));
  else
    std::snprintf(shaper, sizeof shaper, "p%d", selectShaperPattern(settings.shaperPreset).number);
  char text[192];
  std::snprintf(text, sizeof text, "Pulsemill %s DSD%d %d taps k%g %s n%lld%s", kPulsemillVersion,
                settings.dsdRate, settings.tapCount, settings.kaiserAlpha, shaper,
                static_cast<long long>(offset), settings.alignOutput ? " a" : "");
  return text;
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
  OutputSink sink(settings.dsfOutput, output);
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset, job.threads,
                            settings.gainFactor, settings.alignOutput};
  options.cancelled = stopRequested;
  for (int retry = 0;; ++retry) {
    if (sink.carriesTags())
      sink.setTag(renderId3v2Tag(
          tags, encoderSettings(settings, outputRate, options.normalizeOffset), job.report));
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
    status = convertStream(source, sink.sink(), *kernel, shaper, options, job.report);
    if (job.finalOffset != nullptr) *job.finalOffset = options.normalizeOffset;
    if (status.ok()) return output.commit();
    output.discard();
    if (streamed) {
      job.report.err("pulsemill: %s: the bytes already sent are incomplete (an output that cannot "
                     "seek takes no retry)\n", printableName(settings.outputPath).c_str());
      return status;
    }
    // An output error (both channels held low) is an overload too: retried
    // like a clip, with its own line.
    const bool overload = status.code() == StatusCode::Clip || status.code() == StatusCode::DsdOutput;
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
