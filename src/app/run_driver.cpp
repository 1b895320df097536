#include "app/run_driver.h"

#include <sys/stat.h>

#include <memory>
#include <new>

#include "app/interrupt_cleanup.h"
#include "dsdiff/conversion.h"
#include "filter/gain_response.h"
#include "filter/ideal_response.h"
#include "filter/kaiser_window.h"
#include "resample/interpolator.h"
#include "shaper/modulator.h"
#include "shaper/shaper_design.h"
#include "wave/fatal_io.h"

namespace pulsemill {

namespace {

constexpr int kMaxRetries = 10;
constexpr double kShaperPole = 0.85;
constexpr int kShaperAngleDivisor = 64;

// The output of one attempt. Only a regular file is ever deleted: a device
// or FIFO named as output (/dev/null for a timing run) must survive a failure.
// While a regular output is open, an interrupt removes it too.
struct OutputFile {
  std::FILE* stream = nullptr;
  bool regular = false;

  bool open(const std::string& path) {
    // Armed before the file is created when it will be a regular file, so
    // that an interrupt between creation and arming leaves nothing behind.
    struct stat st;
    const bool willBeRegular = stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    if (willBeRegular) armOutputRemoval(path.c_str());
    stream = std::fopen(path.c_str(), "wb");
    regular = stream != nullptr && fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode);
    if (!regular) disarmOutputRemoval();
    return stream != nullptr;
  }
  // Closes the stream; false when the close reports an error (data lost).
  bool close() {
    bool ok = std::fclose(stream) == 0;
    stream = nullptr;
    return ok;
  }
  void removeIfRegular(const std::string& path) const {
    if (regular) std::remove(path.c_str());
    disarmOutputRemoval();
  }
};

// Designs the interpolation filter and lays it out per phase. Returns 0 or
// the exit status after a message.
int designFilter(const RunSettings& settings, const WaveInfo& info, PhaseKernel& phaseKernel) {
  const std::int32_t taps = settings.tapCount;
  std::unique_ptr<double[]> response(new (std::nothrow) double[taps]());
  std::unique_ptr<double[]> kernel(new (std::nothrow) double[taps]());
  if (!response || !kernel) {
    reportError("Out of memory\n");
    return 1;
  }
  const std::int32_t outputRate = static_cast<std::int32_t>(info.sampleRate) * settings.oversampleRatio;
  buildIdealResponse(outputRate, 0, static_cast<std::int32_t>(info.sampleRate / 2), response.get(), taps);
  const int debug = settings.debugDumps ? 1 : 0;
  if (computeImpulseResponse(response.get(), kernel.get(), taps, debug) != 0) {
    reportError("Out of memory\n");
    return 1;
  }
  switch (applyKaiserWindow(kernel.get(), settings.kaiserAlpha, taps, debug)) {
    case WindowApplied: break;
    case WindowAlphaOutOfRange: reportError("Kaiser alpha out of range\n"); return 1;
    case WindowNoMemory: reportError("Out of memory\n"); return 1;
  }
  computeGainResponse(kernel.get(), taps, debug);
  if (!layoutPhaseKernel(kernel.get(), taps, settings.oversampleRatio, phaseKernel)) {
    reportError("Out of memory\n");
    return 1;
  }
  return 0;
}

int convertWithRetries(RunSettings& settings, std::FILE* input, const WaveInfo& info,
                       const PhaseKernel& kernel, const ShaperCoefficients& shaper) {
  OutputFile output;
  if (!output.open(settings.outputPath)) {
    std::printf("Can not open %s\n", settings.outputPath.c_str());
    return 1;
  }
  for (int retryCount = 0;;) {
    int result;
    try {
      result = convertToDsdiff(input, output.stream, info.dataSize, info.sampleRate,
                               static_cast<int>(info.blockAlign), shaper.forward, shaper.feedback,
                               kernel, settings.oversampleRatio, settings.tapCount,
                               settings.blockFrames, settings.normalizeOffset);
    } catch (const FatalExit&) {
      // failWrite has reported and closed the output; a DSDIFF file with
      // zero sizes would look real to a player, so it goes too.
      output.removeIfRegular(settings.outputPath);
      throw;
    }
    if (!output.close() && result == Done) {
      reportError("DSD File Write Error.\n");
      result = Failed;
    }
    if (result == Done) {
      disarmOutputRemoval();
      return 0;
    }
    output.removeIfRegular(settings.outputPath);
    if (result != Clip || !settings.retryOnClip || retryCount >= kMaxRetries) return result;

    std::printf("Retry again to set normalize offset -1 position.\n");
    settings.normalizeOffset -= 1;
    ++retryCount;
    // An input that cannot seek back (a pipe) cannot be read again.
    if (info.dataOffset < 0 || std::fseek(input, static_cast<long>(info.dataOffset), SEEK_SET) != 0) {
      reportError("Wave File Read Error.\n");
      return Failed;
    }
    if (!output.open(settings.outputPath)) {
      std::printf("Can not open %s\n", settings.outputPath.c_str());
      return 1;
    }
  }
}

}  // namespace

int runDriver(RunSettings& settings, std::FILE* input, const WaveInfo& info) {
  PhaseKernel kernel;
  int status = designFilter(settings, info, kernel);
  if (status == 0) {
    const ShaperPattern& pattern = selectShaperPattern(settings.shaperPreset);
    ShaperCoefficients shaper;
    designNoiseShaper(pattern.zero1, pattern.zero2, pattern.zero3, kShaperPole, shaper,
                      kShaperAngleDivisor, settings.debugDumps ? 1 : 0);
    try {
      status = convertWithRetries(settings, input, info, kernel, shaper);
    } catch (const FatalExit&) {
      std::fclose(input);
      throw;
    }
  }
  std::fclose(input);
  return status;
}

}  // namespace pulsemill
