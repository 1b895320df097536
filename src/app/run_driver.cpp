#include "app/run_driver.h"

#include <cstdio>
#include <vector>

#include "base/files.h"
#include "convert/conversion.h"
#include "dsdiff/dsdiff_writer.h"
#include "dsf/dsf_writer.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;

Status designPhaseKernel(const RunSettings& settings, std::uint32_t inputRate, KernelIsa isa,
                         bool isaForced, const Diagnostics& diagnostics, PhaseKernel& kernel) {
  const FilterParams filter{inputRate, settings.oversampleRatio, settings.tapCount,
                            settings.kaiserAlpha};
  std::vector<double> taps;
  Status status = designInterpolationFilter(filter, isa, diagnostics, taps);
  if (!status.ok()) return status;
  const KernelIsa interpolatorIsa =
      isaForced ? isa : fastestKernelIsa(taps.data(), filter.tapCount, filter.ratio, supportedIsas());
  return layoutPhaseKernel(taps.data(), filter.tapCount, filter.ratio, interpolatorIsa, kernel);
}

}  // namespace

std::string encoderSettings(const RunSettings& settings, int pattern, std::int64_t offset) {
  char text[160];
  std::snprintf(text, sizeof text, "Pulsemill %s DSD%d %d taps k%g p%d n%lld", kPulsemillVersion,
                settings.dsdRate, settings.tapCount, settings.kaiserAlpha, pattern,
                static_cast<long long>(offset));
  return text;
}

Status runDriver(const RunSettings& settings, PcmSource& source, KernelIsa isa,
                 bool isaForced, const Diagnostics& diagnostics, const TagSet& tags) {
  PhaseKernel kernel;
  Status status =
      designPhaseKernel(settings, source.sampleRate(), isa, isaForced, diagnostics, kernel);
  if (!status.ok()) return status;
  const ShaperPattern& pattern = selectShaperPattern(settings.shaperPreset);
  const ShaperCoefficients shaper = designShaper(pattern, diagnostics);

  OutputFile output(settings.outputPath);
  DsdiffSink dsdiff(output);
  DsfSink dsf(output);
  DsdSink& sink = settings.dsfOutput ? static_cast<DsdSink&>(dsf) : dsdiff;
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset};
  for (int retry = 0;; ++retry) {
    if (settings.dsfOutput)
      dsf.setTag(renderId3v2Tag(tags, encoderSettings(settings, pattern.number,
                                                      options.normalizeOffset)));
    status = output.create();
    if (!status.ok()) return status;
    status = convertStream(source, sink, kernel, shaper, options);
    if (status.ok()) return output.commit();
    output.discard();
    if (status.code() != StatusCode::Clip || !settings.retryOnClip || retry >= kMaxRetries)
      return status;

    status.report();
    std::printf("Retry again to set normalize offset -1 position.\n");
    options.normalizeOffset -= 1;
    status = source.rewind();
    if (!status.ok()) return status;
  }
}

}  // namespace pulsemill
