// The modulator's floor and stability, measured in-process: a
// double-precision 1 kHz sine (no PCM quantisation, no sample word scale)
// through the run's interpolation filter and the modulator.
//
//   shaper_floor tone  MULTIPLE SHAPER OUT.dff [--family 44100|48000]
//                      [--level DB] [--seconds S] [--taps T]
//   shaper_floor sweep MULTIPLE SHAPER [--family ...] [--seconds S] [--from DB] [--to DB]
//
// MULTIPLE is 64, 128, 256 or 512 (the output rate is MULTIPLE x family),
// SHAPER "fixed" (the fixed pattern 2) or "rate" (the rate shaper). Levels
// are dBFS: 0 dBFS is the converter's full scale (0.5 on its scale). `tone`
// writes the one-bit stream as DSDIFF for the report tool
// (tools/pulsemill_report.py, whose exact decoder analyses it in double
// precision); `sweep` runs a tone at every level from --from to --to
// (default -60 to 0) in 1 dB steps and prints, per level, whether the
// modulator overloaded (the run's check: the byte test, or the rate
// shaper's guard) and where.
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/rate_choice.h"
#include "base/report.h"
#include "convert/conversion.h"
#include "dsdiff/dsdiff_writer.h"
#include "filter/filter_design.h"
#include "resample/interpolator.h"
#include "shaper/rate_shaper.h"
#include "shaper/shaper_design.h"

namespace pulsemill {
namespace {

class SineSource : public PcmSource {
 public:
  SineSource(std::uint32_t rate, double frequency, double amplitude, std::uint64_t frames)
      : rate_(rate), step_(2.0 * M_PI * frequency / rate), amplitude_(amplitude), total_(frames) {}
  std::uint32_t sampleRate() const override { return rate_; }
  bool hasMore() const override { return next_ < total_; }
  Status read(int maxFrames, double* left, double* right, int& frames) override {
    frames = static_cast<int>(std::min<std::uint64_t>(maxFrames, total_ - next_));
    for (int i = 0; i < frames; ++i) {
      // The phase from the frame number, so no error accumulates.
      const double x = amplitude_ * std::sin(step_ * static_cast<double>(next_ + i));
      left[i] = x;
      right[i] = x;
    }
    next_ += static_cast<std::uint64_t>(frames);
    return Status();
  }
  Status rewind() override {
    next_ = 0;
    return Status();
  }
  std::uint64_t reportedBytes() const override { return total_ * 6; }
  std::uint64_t totalFrames() const override { return total_; }

 private:
  std::uint32_t rate_;
  double step_, amplitude_;
  std::uint64_t total_, next_ = 0;
};

// Counts the bytes and drops them.
class NullSink : public DsdSink {
 public:
  Status begin(std::uint32_t, std::uint64_t) override { return Status(); }
  Status write(const std::uint8_t*, std::size_t count) override {
    bytes += count;
    return Status();
  }
  Status finish() override { return Status(); }
  std::uint64_t bytes = 0;
};

struct Setup {
  int multiple = 0;
  bool rateShaper = false;
  std::uint32_t family = 44100;
  double level = -6.0;
  double seconds = 10.0;
  int taps = 0;
  double from = -60.0, to = 0.0;
};

int usage() {
  std::fprintf(stderr,
               "usage: shaper_floor tone MULTIPLE fixed|rate OUT.dff [--family F] [--level DB] "
               "[--seconds S] [--taps T]\n"
               "       shaper_floor sweep MULTIPLE fixed|rate [--family F] [--seconds S] "
               "[--from DB] [--to DB]\n");
  return 1;
}

int run(const std::string& mode, const Setup& setup, const char* outPath) {
  const RateChoice choice = resolveRateAndTaps(setup.family, setup.multiple, setup.taps);
  const std::uint32_t outputRate = setup.family * static_cast<std::uint32_t>(choice.oversampleRatio);
  FilterParams params{setup.family, choice.oversampleRatio, choice.tapCount, 10.0,
                      omp_get_max_threads()};
  std::vector<double> taps;
  const KernelIsa isa = supportedIsas().back();
  Status status = designInterpolationFilter(params, isa, Diagnostics(), taps);
  PhaseKernel kernel;
  if (status.ok()) status = layoutPhaseKernel(taps.data(), choice.tapCount, choice.oversampleRatio, isa, kernel);
  if (!status.ok()) {
    std::fprintf(stderr, "filter design failed\n");
    return 1;
  }
  ShaperCoefficients shaper;
  ConversionOptions options{1024, 0, omp_get_max_threads(), 1.0, false};
  OverloadGuard guard;  // the rate shaper's, as a run has it
  if (setup.rateShaper) {
    const RateShaper& row = selectRateShaper(outputRate);
    shaper = rateShaperCoefficients(row, Diagnostics());
    guard = rateShaperGuard(row, outputRate);
    options.overloadGuard = &guard;
    std::printf("# DSD%d %u Hz, %d taps, rate shaper band %u Hz\n", choice.dsdRate, outputRate,
                choice.tapCount, rateShaperBand(row, outputRate));
  } else {
    shaper = designShaper(selectShaperPattern(2), Diagnostics());
    std::printf("# DSD%d %u Hz, %d taps, fixed pattern 2\n", choice.dsdRate, outputRate,
                choice.tapCount);
  }
  const std::uint64_t frames = static_cast<std::uint64_t>(setup.seconds * setup.family);
  CapturedReport quiet;
  if (mode == "tone") {
    SineSource source(setup.family, 1000.0, 0.5 * std::pow(10.0, setup.level / 20.0), frames);
    OutputFile output(outPath);
    DsdiffSink sink(output);
    status = output.create();
    if (status.ok()) status = convertStream(source, sink, kernel, shaper, options, quiet);
    if (status.ok()) status = output.commit();
    std::printf("%s: %s\n", outPath, status.ok() ? "written" : "FAILED (modulator overload?)");
    return status.ok() ? 0 : 1;
  }
  int overloaded = 0;
  for (double level = setup.from; level <= setup.to + 1e-9; level += 1.0) {
    SineSource source(setup.family, 1000.0, 0.5 * std::pow(10.0, level / 20.0), frames);
    NullSink sink;
    status = convertStream(source, sink, kernel, shaper, options, quiet);
    const bool clip = status.code() == StatusCode::Clip;
    overloaded += status.ok() ? 0 : 1;
    // "failed": a group of eight -1 decisions on both channels (DsdOutput).
    std::printf("%+5.0f dBFS %s", level, clip ? "clip" : status.ok() ? "ok" : "failed");
    if (!status.ok()) std::printf(" after %.3f s", static_cast<double>(sink.bytes) / 2.0 * 8.0 / outputRate);
    std::printf("\n");
    std::fflush(stdout);
  }
  std::printf("# %d of the levels overloaded the modulator\n", overloaded);
  return 0;
}

}  // namespace
}  // namespace pulsemill

int main(int argc, char** argv) {
  using pulsemill::Setup;
  if (argc < 4) return pulsemill::usage();
  const std::string mode = argv[1];
  Setup setup;
  setup.multiple = std::atoi(argv[2]);
  setup.rateShaper = std::strcmp(argv[3], "rate") == 0;
  int next = 4;
  const char* out = nullptr;
  if (mode == "tone") {
    if (argc < 5) return pulsemill::usage();
    out = argv[next++];
  } else if (mode != "sweep") {
    return pulsemill::usage();
  }
  for (; next + 1 < argc; next += 2) {
    const std::string name = argv[next];
    const double value = std::atof(argv[next + 1]);
    if (name == "--family") setup.family = static_cast<std::uint32_t>(value);
    else if (name == "--level") setup.level = value;
    else if (name == "--seconds") setup.seconds = value;
    else if (name == "--taps") setup.taps = static_cast<int>(value);
    else if (name == "--from") setup.from = value;
    else if (name == "--to") setup.to = value;
    else return pulsemill::usage();
  }
  if (next != argc) return pulsemill::usage();
  return pulsemill::run(mode, setup, out);
}
