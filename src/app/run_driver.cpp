#include "app/run_driver.h"

#include <cstdio>
#include <vector>

#include "app/formats.h"
#include "base/files.h"
#include "convert/conversion.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;


}  // namespace

std::string encoderSettings(const RunSettings& settings, int pattern, std::int64_t offset) {
  char text[160];
  std::snprintf(text, sizeof text, "Pulsemill %s DSD%d %d taps k%g p%d n%lld", kPulsemillVersion,
                settings.dsdRate, settings.tapCount, settings.kaiserAlpha, pattern,
                static_cast<long long>(offset));
  return text;
}

Status runDriver(const RunSettings& settings, PcmSource& source, const Diagnostics& diagnostics,
                 const TagSet& tags, const JobContext& job) {
  const FilterParams filter{source.sampleRate(), settings.oversampleRatio, settings.tapCount,
                            settings.kaiserAlpha, job.threads};
  std::shared_ptr<const PhaseKernel> kernel;
  Status status = job.designs.phaseKernel(filter, diagnostics, kernel);
  if (!status.ok()) return status;
  const ShaperPattern& pattern = selectShaperPattern(settings.shaperPreset);
  job.report.out("%s", pattern.line);
  const ShaperCoefficients shaper = designShaper(pattern, diagnostics);

  OutputFile output(settings.outputPath);
  OutputSink sink(settings.dsfOutput, output);
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset, job.threads,
                            settings.gainFactor};
  for (int retry = 0;; ++retry) {
    if (sink.carriesTags())
      sink.setTag(renderId3v2Tag(
          tags, encoderSettings(settings, pattern.number, options.normalizeOffset), job.report));
    status = output.create();
    if (!status.ok()) return status;
    status = convertStream(source, sink.sink(), *kernel, shaper, options, job.report);
    if (job.finalOffset != nullptr) *job.finalOffset = options.normalizeOffset;
    if (status.ok()) return output.commit();
    output.discard();
    if (status.code() != StatusCode::Clip || !settings.retryOnClip || retry >= kMaxRetries)
      return status;

    status.report(job.report);
    job.report.out("Retry again to set normalize offset -1 position.\n");
    options.normalizeOffset -= 1;
    status = source.rewind();
    if (!status.ok()) return status;
  }
}

}  // namespace pulsemill
