#include "app/run_driver.h"

#include <cstdio>
#include <vector>

#include "base/files.h"
#include "convert/conversion.h"
#include "dsdiff/dsdiff_writer.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;

Status designPhaseKernel(const RunSettings& settings, std::uint32_t inputRate, KernelIsa isa,
                         const Diagnostics& diagnostics, PhaseKernel& kernel) {
  const FilterSpec spec{inputRate, settings.oversampleRatio, settings.tapCount,
                        settings.kaiserAlpha};
  std::vector<double> taps;
  Status status = designInterpolationFilter(spec, isa, diagnostics, taps);
  if (status.ok())
    status = layoutPhaseKernel(taps.data(), spec.tapCount, spec.ratio, isa, kernel);
  return status;
}

}  // namespace

Status runDriver(const RunSettings& settings, PcmSource& source, KernelIsa isa,
                 const Diagnostics& diagnostics) {
  PhaseKernel kernel;
  Status status = designPhaseKernel(settings, source.sampleRate(), isa, diagnostics, kernel);
  if (!status.ok()) return status;
  const ShaperCoefficients shaper =
      designShaper(selectShaperPattern(settings.shaperPreset), diagnostics);

  OutputFile output(settings.outputPath);
  DsdiffSink sink(output);
  ConversionOptions options{settings.blockFrames, settings.normalizeOffset};
  for (int retry = 0;; ++retry) {
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
