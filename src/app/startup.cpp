#include "app/startup.h"

#include <sys/stat.h>

#include <cstdio>

#include "app/command_line.h"
#include "app/interrupt_cleanup.h"
#include "app/run_driver.h"
#include "filter/dump_values.h"
#include "wave/fatal_io.h"
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

// Opens the input for binary reading; a directory counts as not openable
// (fopen succeeds on it here, the first read would fail).
std::FILE* openInput(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

// True when outputPath already exists and is the very file open as input
// (same name, a symbolic link or a hard link to it).
bool outputIsInput(std::FILE* input, const std::string& outputPath) {
  struct stat in, out;
  if (fstat(fileno(input), &in) != 0 || stat(outputPath.c_str(), &out) != 0) return false;
  return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

int startAndRun(int argc, const char* const* argv) {
  RunSettings settings;
  if (!parseCommandLine(argc, argv, settings)) return 1;
  // Thread teams are not adjusted dynamically: libgomp's adjustment follows
  // the 15-minute load average, which counts this program's own earlier
  // runs and would leave back-to-back conversions on one core. Every core
  // is used (OMP_NUM_THREADS and OMP_DYNAMIC still apply); no output
  // depends on the thread count.
  installInterruptCleanup();

  std::FILE* input = openInput(settings.inputPath);
  if (input == nullptr) {
    std::printf("Can not open %s\n", settings.inputPath.c_str());
    return 1;
  }
  if (outputIsInput(input, settings.outputPath)) {
    std::fflush(stdout);
    std::fprintf(stderr, "Input and output are the same file: %s\n", settings.outputPath.c_str());
    std::fclose(input);
    return 1;
  }
  std::printf("finename = '%s'\n", settings.inputPath.c_str());

  WaveInfo info;
  if (readWaveHeader(input, info) != 0) {
    std::fclose(input);
    return 1;
  }

  RateChoice choice = resolveRateAndTaps(info.sampleRate, settings.dsdRate, settings.tapCount);
  settings.dsdRate = choice.dsdRate;
  settings.oversampleRatio = choice.oversampleRatio;
  settings.tapCount = choice.tapCount;
  std::printf("\nDSD%d: Oversample[%d] Sample[%d] Tap[%d] KaiserAlpha[%f]\n", settings.dsdRate,
              settings.oversampleRatio, settings.blockFrames, settings.tapCount,
              settings.kaiserAlpha);
  DebugPrefix = formatDebugPrefix(settings.dsdRate, settings.tapCount);

  return runDriver(settings, input, info);
}

}  // namespace

int runPulsemill(int argc, const char* const* argv) {
  int status;
  try {
    status = startAndRun(argc, argv);
  } catch (const FatalExit& fatal) {
    status = fatal.status;
  }
  std::fflush(stdout);
  return status;
}

}  // namespace pulsemill
