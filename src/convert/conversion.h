// The conversion core: PCM frames in, one-bit DSD out, block by block.
//
// Conventions: the core reads a PcmSource and writes a DsdSink (the two
// seams a file format implements); it includes no format. It prints the
// conversion's console lines (start, normalize, progress dots, size, end and
// timing) on the run's report and returns failures unprinted
// (base/status.h).
#pragma once

#include <cstdint>

#include "base/report.h"
#include "base/status.h"
#include "convert/dsd_sink.h"
#include "convert/pcm_source.h"
#include "resample/interpolator.h"
#include "shaper/modulator.h"
#include "shaper/shaper_design.h"

namespace pulsemill {

struct ConversionOptions {
  int blockFrames = 1024;            // frames per block: 512, 1024 or 2048
  std::int64_t normalizeOffset = 0;  // interpolation gain = ratio + offset
  int threads = 1;                   // the run's thread budget, >= 1 (the team's size)
  double sampleGain = 1.0;           // samples times this before interpolation (1.0: untouched)
  bool align = false;                // output without the filter's delay (see convertStream)
  bool (*cancelled)() = nullptr;     // polled between blocks; true ends the run (nullptr: never)
  // When set: the largest magnitude of the modulator's input over the
  // blocks modulated (the failing one included), in the modulator's units
  // (its decisions are +-1). A value of the signal alone: the same for any
  // thread count. nullptr: not measured.
  double* modulatorPeak = nullptr;
  // The modulator's overload guard (shaper/modulator.h); nullptr: the byte
  // test. When modulatorRestarts is set, a run that modulated every block
  // stores there the restarts the guard made on both channels.
  const OverloadGuard* overloadGuard = nullptr;
  std::uint64_t* modulatorRestarts = nullptr;
};

// One attempt: every block of `source` (at its first frame) through the
// interpolator (`kernel`, which carries the ratio) and the modulator
// (`shaper`, from zero state) into `sink` (given a fresh file, and the
// input's declared length: totalFrames() x ratio samples per channel), then
// source.finish() and sink.finish(), printing on `report`. While block b is
// modulated by one thread, block b - 1 is written, block b + 1 interpolated
// and block b + 2 read by the others (the reading and writing threads, and the modulating
// one once done, join the interpolation). Output bytes and console lines do
// not depend on the thread count. With options.align the output is moved
// earlier by the filter's delay, D = taps / (2 x ratio) frames: the source
// is followed by D zero frames (the filter's flush), the modulator runs on
// the whole stream as without it, and its first D x ratio samples per
// channel are not written; so output sample n x ratio belongs to input frame
// n, the output still holds frames x ratio samples, and it is the plain
// output moved earlier, followed by the modulated flush. Failures: OutOfMemory, the
// source's and the sink's own, DsdOutput and Clip (from the modulator), and
// Interrupted once options.cancelled() says so (the output then stops short).
Status convertStream(PcmSource& source, DsdSink& sink, const PhaseKernel& kernel,
                     const ShaperCoefficients& shaper, const ConversionOptions& options,
                     Report& report);

}  // namespace pulsemill
